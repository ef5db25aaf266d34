#include "runtime/fileutil.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

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

int openRegularFile(const std::string& path) {
  // O_NONBLOCK: opening a FIFO without a writer, or a device, must not wait.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  // Regular files ignore O_NONBLOCK; clear it all the same for later readers.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

ReadStatus readBoundedFile(const std::string& path, size_t limit, std::string& text) {
  text.clear();
  int fd = openRegularFile(path);
  if (fd < 0) return errno == EINVAL ? ReadStatus::NOT_REGULAR : errno == ENOENT || errno == ENOTDIR ? ReadStatus::MISSING : ReadStatus::FAILED;
  Fd owned(fd);
  struct stat st;
  if (fstat(fd, &st) != 0) return ReadStatus::FAILED;
  if (uint64_t(st.st_size) > limit) return ReadStatus::TOO_LARGE;
  // The size may grow while it is read: never past the limit.
  char block[4096];
  for (;;) {
    ssize_t n = read(fd, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      text.clear();
      return ReadStatus::FAILED;
    }
    if (n == 0) break;
    if (text.size() + size_t(n) > limit) {
      text.clear();
      return ReadStatus::TOO_LARGE;
    }
    text.append(block, size_t(n));
  }
  return ReadStatus::OK;
}

const char* readStatusText(ReadStatus status) {
  switch (status) {
    case ReadStatus::OK: return "readable";
    case ReadStatus::MISSING: return "missing";
    case ReadStatus::NOT_REGULAR: return "not a regular file";
    case ReadStatus::TOO_LARGE: return "too large";
    case ReadStatus::FAILED: return "cannot be read";
  }
  return "cannot be read";
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
