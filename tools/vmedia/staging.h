// The pieces of a medium being made: a scratch directory that goes with its
// owner, the output written under a temporary name and renamed only when
// whole, and the external tools that put the image together.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vmedia {

class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// OUTPUT.partial until commit() renames it to OUTPUT; removed when not committed.
class PartialOutput {
 public:
  explicit PartialOutput(const std::string& output);
  ~PartialOutput();
  PartialOutput(const PartialOutput&) = delete;
  PartialOutput& operator=(const PartialOutput&) = delete;
  const std::string& path() const { return partial_; }
  [[nodiscard]] bool commit();

 private:
  std::string output_, partial_;
  bool committed_ = false;
};

// Whether the boot loader's files are on this machine; each missing one is
// named with the Debian packages that bring them.
[[nodiscard]] bool haveLoaderFiles(const std::vector<const char*>& files, const char* packages);

// Runs a tool quietly; when it does not exit 0, its output is shown and the
// result is false after "vmedia: TOOL failed".
[[nodiscard]] bool runTool(const std::vector<std::string>& argv);

// The directory and its parents.
[[nodiscard]] bool makeDirectory(const std::string& path);
[[nodiscard]] bool copyFile(const std::string& from, const std::string& to);
[[nodiscard]] bool writeFile(const std::string& path, const std::string& contents);
// Every file and directory below root, root included, dated time.
[[nodiscard]] bool setDates(const std::string& root, uint32_t time);

}  // namespace vmedia
