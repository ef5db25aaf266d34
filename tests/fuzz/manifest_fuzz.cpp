// libFuzzer target for a saved transaction (/ram/MANIFEST) as --commit and
// --cancel read it: whatever the bytes, a manifest is taken whole or refused,
// and what is taken names plain absolute paths only.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "pkg/transaction.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<pkg::ManifestLine> lines;
  std::string why;
  const bool whole = pkg::parseManifest(text, lines, why);
  if (!whole && (!lines.empty() || why.empty())) abort();  // refused: nothing taken, and said why
  for (const pkg::ManifestLine& l : lines) {
    if (l.destination.empty() || l.destination[0] != '/' || l.destination.find("/../") != std::string::npos) abort();
    if (l.kind == 'M' && (l.source.empty() || l.source[0] != '/')) abort();
  }
  return 0;
}
