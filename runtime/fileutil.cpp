#include "runtime/fileutil.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/system.h"

namespace vl {

bool fileExists(const std::string& path, mode_t type) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  return type == 0 || (st.st_mode & S_IFMT) == type;
}

std::string readFileText(const std::string& path) {
  std::string text;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char block[4096];
  for (;;) {
    ssize_t n = read(fd, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(block, size_t(n));
  }
  close(fd);
  return text;
}

bool writeTextFile(const std::string& path, const std::string& text) {
  Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd.valid()) return false;
  const bool written = writeAll(fd.get(), text.data(), text.size());
  return fd.reset() && written;
}

namespace {

void listInto(std::vector<std::string>& out, const std::string& directory, bool recursive, bool includeDirectories) {
  DIR* dir = opendir(directory.c_str());
  if (!dir) return;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::string path = directory + "/" + entry->d_name;
    if (recursive && entry->d_type == DT_DIR) {
      listInto(out, path, recursive, includeDirectories);
      if (includeDirectories) out.push_back(path);
    } else {
      out.push_back(path);
    }
  }
  closedir(dir);
}

}  // namespace

std::vector<std::string> listDirectory(const std::string& directory, bool recursive, bool includeDirectories) {
  std::vector<std::string> out;
  listInto(out, directory, recursive, includeDirectories);
  return out;
}

bool hasPartitionAtSector34() {
  char target[128];
  ssize_t n = readlink("/dev/root-disk", target, sizeof target - 1);
  std::string disk = n > 0 ? std::string(target, size_t(n)) : std::string("/dev/zero");
  std::string name = disk.substr(disk.find_last_of('/') + 1);
  for (const std::string& entry : listDirectory("/sys/class/block/" + name, false, false)) {
    std::string start = entry + "/start";
    if (fileExists(start) && readFileText(start) == "34\n") return true;
  }
  return false;
}

PackedVersion getMinZelVersion() { return hasPartitionAtSector34() ? parseVersion("6.49.3") : 0; }

}  // namespace vl
