#include "pkg/transaction.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/times.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "runtime/system.h"

namespace pkg {

NewFile& NewFile::operator=(NewFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    failed_ = other.failed_;
    other.fd_ = -1;
  }
  return *this;
}

NewFile::~NewFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool NewFile::write(const void* data, size_t n) {
  if (!ok()) return false;
  if (vl::writeAll(fd_, data, n)) return true;
  failed_ = true;
  return false;
}

bool NewFile::close() {
  if (fd_ < 0) return false;
  bool ok = !failed_ && ::close(fd_) == 0;
  fd_ = -1;
  failed_ = true;  // nothing more can be written
  return ok;
}

namespace {

// The directory part of a path, after trailing '/' are removed: "/a/b/" -> "/a".
std::string parentOf(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

void report(const char* operation, const std::string& path) {
  fprintf(stderr, "%s: %s: %s\n", operation, path.c_str(), strerror(errno));
}

bool pathExists(const std::string& path, struct stat* st = nullptr) {
  struct stat local;
  return stat(path.c_str(), st ? st : &local) == 0;
}

// The spinner of long copies: one character per 20 clock ticks at most.
void spin() {
  static const char kCharacters[] = "|/-\\";
  static int position = 0;
  static clock_t mark = 0;
  static bool started = false;
  struct tms unused;
  clock_t now = times(&unused);
  if (!started) {
    started = true;
    mark = now + 30000;
    putchar(kCharacters[position]);
  } else {
    if (now - (mark - 30000) < 21) return;
    mark += 20;
    position = (position + 1) % 4;
    putchar('\b');
    putchar(kCharacters[position]);
  }
  fflush(stdout);
}

bool copyFile(const std::string& source, const std::string& destination, bool spinner) {
  struct stat st;
  if (stat(source.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  int out = open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 0xFFF);
  if (out < 0) {
    report("open", destination);
    return false;
  }
  // An existing destination keeps its old mode through O_CREAT: set the new one.
  fchmod(out, st.st_mode & 0xFFF);
  int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    report("open", source);
    ::close(out);
    return false;
  }
  bool ok = true;
  char block[16384];
  for (;;) {
    ssize_t n = read(in, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      report("read", source);
      ok = false;
    }
    if (n <= 0) break;
    if (ok && !vl::writeAll(out, block, size_t(n))) {
      report(" write failed", destination);
      ok = false;
    }
    if (!ok) break;
    if (spinner) spin();
  }
  ::close(in);
  if (::close(out) != 0) ok = false;
  return ok;
}

// Whether the source fits where the destination is, counting the blocks the
// destination frees when it is overwritten.
bool copyFits(const std::string& source, const std::string& destination) {
  struct stat src, dst;
  struct statfs fs;
  if (stat(source.c_str(), &src) != 0) return false;
  if (statfs(parentOf(destination).c_str(), &fs) != 0) return true;  // cannot tell: try
  uint64_t available = uint64_t(fs.f_bfree) * uint64_t(fs.f_bsize);
  if (stat(destination.c_str(), &dst) == 0) available += uint64_t(dst.st_blocks) * 512;
  return uint64_t(src.st_size) <= available;
}

// unlink, or for a directory: unlink its entries (not those beginning with
// '.') and rmdir it. False on a failure other than the path being gone or
// the directory keeping hidden files.
bool deletePath(const std::string& path) {
  if (unlink(path.c_str()) == 0 || errno == ENOENT) return true;
  if (errno != EISDIR) {
    report("unlink", path);
    return false;
  }
  if (DIR* dir = opendir(path.c_str())) {
    while (dirent* e = readdir(dir)) {
      if (e->d_name[0] == '.') continue;
      std::string inner = path + "/" + e->d_name;
      if (unlink(inner.c_str()) != 0 && errno != ENOENT) report("unlink", inner);
    }
    closedir(dir);
  }
  if (rmdir(path.c_str()) == 0 || errno == ENOTEMPTY) return true;
  report("rmdir", path);
  return false;
}

}  // namespace

void createParentDirectories(const std::string& path) {
  std::string dir = parentOf(path);
  if (dir == "/" || dir == ".") return;
  if (mkdir(dir.c_str(), 0777) == 0 || errno == EEXIST) return;
  createParentDirectories(dir);
  mkdir(dir.c_str(), 0777);
}

void Transaction::dropEntry(std::map<std::string, TransactionEntry>::iterator it) {
  // The temporary file of a dropped new file would otherwise stay behind.
  if (it->second.kind == ENTRY_NEW_FILE && it->second.temporary) unlink(it->second.source.c_str());
  entries_.erase(it);
}

void Transaction::record(const std::string& destination, TransactionEntry entry) {
  auto it = entries_.find(destination);
  if (it != entries_.end()) dropEntry(it);
  entries_.emplace(destination, std::move(entry));
}

NewFile Transaction::newFile(const std::string& destination, uint64_t sizeHint, mode_t mode) {
  std::string dir = "/ram";
  if (sizeHint != 0) {
    for (std::string p = parentOf(destination); p != "/" && p != "."; p = parentOf(p)) {
      struct statfs fs;
      if (statfs(p.c_str(), &fs) != 0) continue;
      if (sizeHint + sizeHint / 10 < uint64_t(fs.f_bfree) * uint64_t(fs.f_bsize)) dir = p;
      break;
    }
  } else if (!pathExists("/ram")) {
    dir = "/tmp";
  }
  std::string name = dir + "/tmpXXXXXX";
  int fd = mkstemp(name.data());
  if (fd >= 0) {
    ::close(fd);
    if (mode != 0) chmod(name.c_str(), mode);
  }
  record(destination, {ENTRY_NEW_FILE, name, fd >= 0});
  if (fd < 0) return NewFile();
  return NewFile(open(name.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
}

void Transaction::remove(const std::string& path) {
  if (!pathExists(path)) {
    auto it = entries_.find(path);
    if (it != entries_.end()) dropEntry(it);
    return;
  }
  record(path, {ENTRY_DELETE, ""});
}

void Transaction::move(const std::string& destination, const std::string& source) {
  record(destination, {ENTRY_MOVE, source});
}

void Transaction::link(const std::string& destination, const std::string& target) {
  record(destination, {ENTRY_SYMLINK, target});
}

bool Transaction::directoryUsable(const std::string& path) {
  auto it = entries_.find(path);
  if (it != entries_.end()) {
    if (it->second.kind != ENTRY_DELETE) return false;
    entries_.erase(it);
  }
  struct stat st;
  return stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode);
}

bool Transaction::writes(const std::string& path) const {
  auto it = entries_.find(path);
  return it != entries_.end() && (it->second.kind == ENTRY_MOVE || it->second.kind == ENTRY_NEW_FILE);
}

int Transaction::commit(const std::string& first, bool progress) {
  int failures = 0;
  if (!first.empty()) {
    auto it = entries_.find(first);
    if (it != entries_.end() && (it->second.kind == ENTRY_MOVE || it->second.kind == ENTRY_NEW_FILE)) {
      createParentDirectories(first);
      if (rename(it->second.source.c_str(), first.c_str()) == 0) entries_.erase(it);
    }
  }
  for (auto& [destination, entry] : entries_) {
    if (entry.kind == ENTRY_DELETE) {
      if (!deletePath(destination)) ++failures;
    } else if (entry.kind == ENTRY_SYMLINK) {
      createParentDirectories(destination);
      unlink(destination.c_str());
      if (symlink(entry.source.c_str(), destination.c_str()) != 0) {
        report("symlink", destination);
        ++failures;
      }
    }
  }
  for (auto& [destination, entry] : entries_) {
    if (entry.kind != ENTRY_MOVE && entry.kind != ENTRY_NEW_FILE) continue;
    createParentDirectories(destination);
    if (rename(entry.source.c_str(), destination.c_str()) == 0) continue;
    if (errno != EXDEV) {
      report("rename", destination);
      ++failures;
      continue;
    }
    // Across file systems: copy instead. Cutting the old file first frees its
    // space for the copy, but only when the new content fits then; otherwise
    // the old file stays whole and the change fails.
    if (!copyFits(entry.source, destination)) {
      errno = ENOSPC;
      report("copy", destination);
      ++failures;
      continue;
    }
    entry.kind = ENTRY_COPY;
    if (destination != first && pathExists(destination)) truncate(destination.c_str(), 512);
  }
  for (auto& [destination, entry] : entries_) {
    if (entry.kind != ENTRY_COPY) continue;
    if (!copyFile(entry.source, destination, progress)) {
      ++failures;
      continue;
    }
    if (entry.temporary) unlink(entry.source.c_str());  // the copy replaces our temporary file
  }
  return failures;
}

void Transaction::cancel() {
  for (auto& [destination, entry] : entries_)
    if (entry.kind == ENTRY_NEW_FILE && entry.temporary) unlink(entry.source.c_str());
  entries_.clear();
}

void Transaction::restore(const std::map<std::string, TransactionEntry>& saved) {
  for (auto& [destination, entry] : entries_) {
    if (entry.kind != ENTRY_NEW_FILE || !entry.temporary) continue;
    auto old = saved.find(destination);
    if (old == saved.end() || old->second.source != entry.source) unlink(entry.source.c_str());
  }
  entries_ = saved;
}

bool Transaction::saveManifest(const std::string& path) const {
  FILE* f = fopen(path.c_str(), "w");
  if (!f) return false;
  for (const auto& [destination, entry] : entries_) {
    switch (entry.kind) {
      case ENTRY_DELETE: fprintf(f, "U %s\n", destination.c_str()); break;
      case ENTRY_SYMLINK: fprintf(f, "L %s %s\n", destination.c_str(), entry.source.c_str()); break;
      case ENTRY_MOVE:
      case ENTRY_NEW_FILE: fprintf(f, "M %s %s\n", destination.c_str(), entry.source.c_str()); break;
      case ENTRY_COPY: break;
    }
  }
  return fclose(f) == 0;
}

bool Transaction::loadManifest(const std::string& path) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) break;
    std::string fields[3];
    int count = 0;
    size_t at = 0;
    while (count < 3 && at <= line.size()) {
      size_t blank = count < 2 ? line.find(' ', at) : std::string::npos;
      if (blank == std::string::npos) blank = line.size();
      fields[count++] = line.substr(at, blank - at);
      at = blank + 1;
      if (blank == line.size()) break;
    }
    if (count < 2) return false;
    if (fields[0] == "U") {
      record(fields[1], {ENTRY_DELETE, ""});
    } else if (fields[0] == "L" || fields[0] == "M") {
      if (count < 3) return false;
      record(fields[1], {fields[0] == "L" ? ENTRY_SYMLINK : ENTRY_MOVE, fields[2]});
    }
  }
  return !entries_.empty();
}

bool Transaction::enoughSpace() const {
  struct Account {
    std::string path;
    int64_t blockSize = 1, freeNow = 0, freeAtStart = 0;
  } accounts[2] = {{"/flash/boot"}, {"/flash"}};
  for (Account& a : accounts) {
    struct statfs fs;
    if (statfs(a.path.c_str(), &fs) == 0) {
      a.blockSize = int64_t(fs.f_bsize);
      a.freeNow = a.freeAtStart = int64_t(fs.f_bfree);
    }
  }
  auto blocks = [](uint64_t size, int64_t blockSize) { return int64_t((size + uint64_t(blockSize) - 1) / uint64_t(blockSize)); };
  for (const auto& [destination, entry] : entries_) {
    // Each path is charged to the longest mount path it lies under only:
    // /flash/boot/x is not also on /flash.
    Account* account = nullptr;
    for (Account& a : accounts)
      if (destination.compare(0, a.path.size() + 1, a.path + "/") == 0) {
        account = &a;
        break;
      }
    if (!account) continue;
    struct stat dst, src;
    const bool destinationExists = stat(destination.c_str(), &dst) == 0;
    if (entry.kind == ENTRY_DELETE) {
      if (destinationExists) account->freeNow += blocks(uint64_t(dst.st_size), account->blockSize);
      continue;
    }
    if (entry.kind != ENTRY_MOVE && entry.kind != ENTRY_NEW_FILE) continue;
    if (stat(entry.source.c_str(), &src) == 0) {
      struct stat ancestor;
      bool sameDevice = false;
      for (std::string p = destination; p != "/" && p != "."; p = parentOf(p))
        if (stat(p.c_str(), &ancestor) == 0) {
          sameDevice = ancestor.st_dev == src.st_dev;
          break;
        }
      if (sameDevice) continue;  // a rename in place costs nothing
      account->freeNow -= blocks(uint64_t(src.st_size), account->blockSize);
    }
    if (destinationExists) account->freeNow += blocks(uint64_t(dst.st_size), account->blockSize);
  }
  for (const Account& a : accounts)
    if (a.freeNow < a.freeAtStart && a.freeNow <= 16) return false;
  return true;
}

}  // namespace pkg
