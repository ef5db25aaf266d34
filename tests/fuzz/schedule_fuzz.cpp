// libFuzzer target for the schedules the running system writes under
// /ram/pdb/: only the three words ask for anything.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "pkg/meta_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  const pkg::PackageAction action = pkg::scheduledAction(text);
  std::string word;
  if (action != pkg::ACTION_NONE &&
      (!pkg::firstWordOf(text, word) || (word != "uninstall" && word != "enable" && word != "disable")))
    abort();
  return 0;
}
