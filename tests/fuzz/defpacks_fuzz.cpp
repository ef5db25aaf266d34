// libFuzzer target for an installation medium's defpacks file: any bytes
// give words of at most 91 characters.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "init/console/package_menu.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "r");
  if (!f) return 0;
  for (const std::string& word : console::readDefaultSelection(f))
    if (word.empty() || word.size() > 91) abort();
  fclose(f);
  return 0;
}
