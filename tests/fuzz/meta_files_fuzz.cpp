// libFuzzer target for every reader of the package database's text files
// and of the schedules: version, deps, provides, conflicts, files, bundle,
// enabled and disabled, schedule. The first byte chooses the reader.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "pkg/meta_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t which = data[0];
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  const bool nul = text.find('\0') != std::string_view::npos;
  switch (which % 6) {
    case 0: {
      uint32_t version = 0, built = 0;
      if (pkg::parseVersionText(text, version, built) && nul) abort();
      break;
    }
    case 1:
    case 2: {
      std::vector<pkg::DependencyEntry> list;
      if (pkg::parseListText(text, which % 6 == 2, list) && nul) abort();
      for (const pkg::DependencyEntry& e : list)
        if (e.name.empty()) abort();
      break;
    }
    case 3: {
      std::set<std::string> files;
      if (pkg::parseFilesText(text, files) && nul) abort();
      for (const std::string& f : files)
        if (f.empty() || f[0] != '/' || f.find('\n') != std::string::npos) abort();
      break;
    }
    case 4: {
      std::string word, line;
      if (pkg::firstWordOf(text, word) && word.find_first_of(" \t\n") != std::string::npos) abort();
      if (pkg::firstLineOf(text, line) && line.find('\n') != std::string::npos) abort();
      break;
    }
    case 5:
      (void)pkg::scheduledAction(text);
      break;
  }
  return 0;
}
