// libFuzzer target for the commit journal a later run finishes: only a
// whole journal is acted on, and its steps name non-empty paths.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "pkg/transaction.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<std::pair<std::string, std::string>> renames;
  std::vector<std::string> deletions;
  std::vector<char> order;
  if (!pkg::parseJournal(text, renames, deletions, order)) return 0;
  if (order.size() != renames.size() + deletions.size()) abort();
  for (const auto& [source, destination] : renames)
    if (source.empty() || destination.empty()) abort();
  for (const std::string& d : deletions)
    if (d.empty()) abort();
  return 0;
}
