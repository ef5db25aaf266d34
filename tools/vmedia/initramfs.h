// The medium's initramfs: a cpio archive in the kernel's "newc" format,
// compressed with gzip. Entries are written sorted by path with owner root,
// one date and numbered inodes, so that the same inputs give the same bytes.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace vmedia {

class Initramfs {
 public:
  // Parent directories are added with mode 0755 where missing.
  void addDirectory(const std::string& path, uint32_t permissions = 0755);
  void addText(const std::string& path, uint32_t permissions, const std::string& contents);
  // The host file's bytes, read when the archive is written.
  void addFile(const std::string& path, uint32_t permissions, const std::string& hostPath);
  void addCharacterDevice(const std::string& path, uint32_t permissions, uint32_t major, uint32_t minor);
  bool has(const std::string& path) const { return entries_.count(path) != 0; }
  size_t size() const { return entries_.size(); }

  // The compressed archive; false with the reason in why.
  [[nodiscard]] bool write(const std::string& output, uint32_t time, std::string& why) const;

 private:
  struct Entry {
    uint32_t mode = 0;  // type and permissions
    std::string contents;
    std::string hostPath;
    uint32_t deviceMajor = 0, deviceMinor = 0;
  };
  void addParents(const std::string& path);
  std::map<std::string, Entry> entries_;  // by path without the leading "/"
};

}  // namespace vmedia
