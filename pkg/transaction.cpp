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
#include <set>
#include <signal.h>
#include <sstream>
#include <vector>
#include <zlib.h>

#include "pkg/meta_files.h"
#include "runtime/fileutil.h"
#include "runtime/system.h"

namespace pkg {

NewFile& NewFile::operator=(NewFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    failed_ = other.failed_;
    written_ = other.written_;
    writebackFrom_ = other.writebackFrom_;
    other.fd_ = -1;
  }
  return *this;
}

NewFile::~NewFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool NewFile::write(const void* data, size_t n) {
  if (!ok()) return false;
  if (!vl::writeAll(fd_, data, n)) {
    failed_ = true;
    return false;
  }
  written_ += n;
  if (written_ - writebackFrom_ >= WRITEBACK_STEP) {
    // Only a hint: the commit's sync is what makes the bytes durable.
    (void)sync_file_range(fd_, off_t(writebackFrom_), off_t(written_ - writebackFrom_), SYNC_FILE_RANGE_WRITE);
    writebackFrom_ = written_;
  }
  return true;
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

// Test builds can end the process at the k-th change on disk (QV_FAULT_AT=k),
// the way a crash or a power cut would, and tell how many changes a run made
// (QV_FAULT_COUNT set): the seam of the interrupted-commit tests.
#ifdef QV_FAULT_SEAM
long& faultCount() {
  static long count = 0;
  return count;
}
long& commitStart() {
  static long start = 0;
  return start;
}
void reportFaultCount() {
  if (getenv("QV_FAULT_COUNT")) fprintf(stderr, "fault points: %ld, commit from %ld\n", faultCount(), commitStart());
}
void markCommitStart() {
  if (commitStart() == 0) commitStart() = faultCount() + 1;
}
void faultPoint() {
  static const long at = [] {
    atexit(reportFaultCount);
    const char* v = getenv("QV_FAULT_AT");
    return v ? atol(v) : 0L;
  }();
  if (++faultCount() != at) return;
  // In a virtual machine, QV_FAULT_POWER_OFF cuts the power there instead:
  // what the kernel has not written yet is lost, as in a real power cut.
  if (getenv("QV_FAULT_POWER_OFF")) {
    int fd = open("/proc/sysrq-trigger", O_WRONLY | O_CLOEXEC);
    if (fd >= 0 && write(fd, "o", 1) == 1) pause();
  }
  raise(SIGKILL);
}
#else
inline void faultPoint() {}
inline void markCommitStart() {}
#endif

bool copyFile(const std::string& source, const std::string& destination, bool spinner) {
  struct stat st;
  if (stat(source.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  faultPoint();
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
    faultPoint();
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

// The nearest existing ancestor of a path (or the path itself), as commit
// finds where a new file will land.
std::string nearestExisting(const std::string& path, struct stat& st) {
  for (std::string p = path;; p = parentOf(p)) {
    if (stat(p.c_str(), &st) == 0) return p;
    if (p == "/" || p == ".") return p;
  }
}

bool under(const std::string& path, const std::string& directory) {
  return path.compare(0, directory.size() + 1, directory + "/") == 0;
}

// Where the temporary files for a destination at or below p go: one
// directory per file system the engine writes to, so that a later run finds
// what an interrupted one left, and the final rename stays on one file system.
std::string stagingRoot(const std::string& p) {
  if (p == "/flash/boot" || under(p, "/flash/boot")) return "/flash/boot";
  if (p == "/flash" || under(p, "/flash")) return "/flash";
  if (p == "." || p.compare(0, 2, "./") == 0) return ".";
  return p;
}

// The staging directory of a root, made when missing; empty when it cannot be.
std::string stagingDirectory(const std::string& root) {
  const std::string dir = (root == "/" ? "" : root) + "/" + STAGING_NAME;
  faultPoint();
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return "";
  return dir;
}

// A fresh, empty temporary file in the directory: its path, or empty.
std::string makeTemporary(const std::string& directory) {
  std::string name = directory + "/tmpXXXXXX";
  faultPoint();
  int fd = mkstemp(name.data());
  if (fd < 0) return "";
  ::close(fd);
  return name;
}

// The journal's text: paths with '%', blanks and control bytes escaped.
std::string escape(const std::string& path) {
  std::string out;
  for (char c : path) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (c == '%' || b <= ' ' || b == 0x7F) {
      char hex[4];
      snprintf(hex, sizeof hex, "%%%02X", b);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

bool unescape(std::string_view text, std::string& path) {
  path.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      path += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    unsigned value = 0;
    for (size_t k = 1; k <= 2; ++k) {
      const char h = text[i + k];
      value = value * 16 + unsigned(h >= '0' && h <= '9' ? h - '0' : h >= 'A' && h <= 'F' ? h - 'A' + 10 : 99);
    }
    if (value > 255) return false;
    path += char(value);
    i += 2;
  }
  return !path.empty() && path.find('\0') == std::string::npos;
}

void syncFileSystemOf(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  faultPoint();
  syncfs(fd);
  ::close(fd);
}

// One sync per file system, however many of its directories are named.
void syncFileSystemsOf(const std::set<std::string>& paths) {
  std::set<dev_t> synced;
  for (const std::string& p : paths) {
    struct stat st;
    if (stat(p.c_str(), &st) == 0 && synced.insert(st.st_dev).second) syncFileSystemOf(p);
  }
}

void syncDirectory(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  faultPoint();
  fsync(fd);
  ::close(fd);
}

// Deletes a path: a file, or a directory's entries that do not begin with
// '.' and then the directory. Below /flash every directory on the way is
// opened without following symbolic links, from /flash down, so that a link
// on the way can never make the deletion land outside /flash. Entries of a
// deleted directory that keep says are new are left (a commit carried on
// after a crash must not delete what it renamed there already).
bool deletePath(const std::string& path, const std::set<std::string>& keep) {
  if (!under(path, "/flash")) {
    faultPoint();
    if (unlink(path.c_str()) == 0 || errno == ENOENT) return true;
    if (errno != EISDIR) {
      report("unlink", path);
      return false;
    }
    if (DIR* dir = opendir(path.c_str())) {
      while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        std::string inner = path + "/" + e->d_name;
        if (keep.count(inner)) continue;
        faultPoint();
        if (unlink(inner.c_str()) != 0 && errno != ENOENT) report("unlink", inner);
      }
      closedir(dir);
    }
    faultPoint();
    if (rmdir(path.c_str()) == 0 || errno == ENOTEMPTY || errno == ENOENT) return true;
    report("rmdir", path);
    return false;
  }
  std::vector<std::string> parts;
  for (size_t at = 7; at < path.size();) {
    size_t slash = path.find('/', at);
    if (slash == std::string::npos) slash = path.size();
    const std::string part = path.substr(at, slash - at);
    at = slash + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      fprintf(stderr, "unlink: %s: not deleted: it names a parent directory\n", path.c_str());
      return false;
    }
    parts.push_back(part);
  }
  if (parts.empty()) return true;  // never /flash itself
  vl::Fd dir(open("/flash", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) return true;  // no /flash: nothing there to delete
  std::string walked = "/flash";
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    walked += "/" + parts[i];
    int next = openat(dir.get(), parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) {
      struct stat st;
      if (errno == ENOENT || (errno == ENOTDIR && fstatat(dir.get(), parts[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                              !S_ISLNK(st.st_mode)))
        return true;  // not there: nothing to delete
      if (errno == ELOOP || errno == ENOTDIR) {
        fprintf(stderr, "unlink: %s: not deleted: %s is a symbolic link\n", path.c_str(), walked.c_str());
        return false;
      }
      report("open", walked);
      return false;
    }
    dir.reset(next);
  }
  const char* leaf = parts.back().c_str();
  faultPoint();
  if (unlinkat(dir.get(), leaf, 0) == 0 || errno == ENOENT) return true;
  if (errno != EISDIR && errno != EPERM) {
    report("unlink", path);
    return false;
  }
  int inner = openat(dir.get(), leaf, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (inner < 0) {
    report("unlink", path);
    return false;
  }
  if (DIR* entries = fdopendir(inner)) {
    while (dirent* e = readdir(entries)) {
      if (e->d_name[0] == '.' || keep.count(path + "/" + e->d_name)) continue;
      faultPoint();
      if (unlinkat(inner, e->d_name, 0) != 0 && errno != ENOENT) report("unlink", path + "/" + e->d_name);
    }
    closedir(entries);
  } else {
    ::close(inner);
  }
  faultPoint();
  if (unlinkat(dir.get(), leaf, AT_REMOVEDIR) == 0 || errno == ENOTEMPTY || errno == ENOENT) return true;
  report("rmdir", path);
  return false;
}

}  // namespace

void createParentDirectories(const std::string& path) {
  std::string dir = parentOf(path);
  if (dir == "/" || dir == ".") return;
  faultPoint();
  if (mkdir(dir.c_str(), 0777) == 0 || errno == EEXIST) return;
  createParentDirectories(dir);
  faultPoint();
  mkdir(dir.c_str(), 0777);
}

// A temporary file of this transaction: a new file's, also once commit
// chose to copy it.
static bool ownsTemporary(const TransactionEntry& e) { return e.temporary && (e.kind == ENTRY_NEW_FILE || e.kind == ENTRY_COPY); }

void Transaction::dropEntry(std::map<std::string, TransactionEntry>::iterator it) {
  // The temporary file of a dropped new file would otherwise stay behind.
  if (ownsTemporary(it->second)) unlink(it->second.source.c_str());
  entries_.erase(it);
}

void Transaction::record(const std::string& destination, TransactionEntry entry) {
  auto it = entries_.find(destination);
  if (it != entries_.end()) dropEntry(it);
  entries_.emplace(destination, std::move(entry));
}

NewFile Transaction::newFile(const std::string& destination, uint64_t sizeHint, mode_t mode) {
  std::string root = "/ram";
  if (sizeHint != 0) {
    for (std::string p = parentOf(destination); p != "/" && p != "."; p = parentOf(p)) {
      struct statfs fs;
      if (statfs(p.c_str(), &fs) != 0) continue;
      if (sizeHint + sizeHint / 10 < uint64_t(fs.f_bfree) * uint64_t(fs.f_bsize)) {
        root = stagingRoot(p);
        // The staging directory must be on the destination's file system.
        struct stat a, b;
        if (stat(root.c_str(), &a) != 0 || stat(p.c_str(), &b) != 0 || a.st_dev != b.st_dev) root = p;
      }
      break;
    }
  } else if (!pathExists("/ram")) {
    root = "/tmp";
  }
  const std::string staging = stagingDirectory(root);
  const std::string name = staging.empty() ? "" : makeTemporary(staging);
  if (!name.empty() && mode != 0) chmod(name.c_str(), mode);
  record(destination, {ENTRY_NEW_FILE, name.empty() ? root + "/" + STAGING_NAME + "/tmpXXXXXX" : name, !name.empty()});
  if (name.empty()) return NewFile();
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

// The journal: written, synced and renamed into place once every new file
// is staged on its destination's file system and synced, removed once every
// step is carried out and synced. A run that finds it carries the steps out
// again: a deletion of what is gone and a rename whose source is gone are
// done already, so every step may be repeated.
namespace {

struct Step {
  char kind;  // 'D' delete destination, 'R' rename source to destination
  std::string source, destination;
};

constexpr const char* JOURNAL_MAGIC = "QVJOURNAL 1\n";

std::string journalText(const std::vector<Step>& steps) {
  std::string text = JOURNAL_MAGIC;
  for (const Step& s : steps)
    text += s.kind == 'D' ? "D " + escape(s.destination) + "\n" : "R " + escape(s.source) + " " + escape(s.destination) + "\n";
  char end[64];
  snprintf(end, sizeof end, "END %zu %08lx\n", steps.size(), crc32(0, reinterpret_cast<const Bytef*>(text.data()), uInt(text.size())));
  return text + end;
}

// Carries the steps out in order. Returns the number that failed.
int carryOut(const std::vector<Step>& steps) {
  std::set<std::string> renamed;
  for (const Step& s : steps)
    if (s.kind == 'R') renamed.insert(s.destination);
  int failures = 0;
  for (const Step& s : steps) {
    if (s.kind == 'D') {
      if (!deletePath(s.destination, renamed)) ++failures;
      continue;
    }
    struct stat st;
    if (lstat(s.source.c_str(), &st) != 0) continue;  // renamed already
    createParentDirectories(s.destination);
    faultPoint();
    if (rename(s.source.c_str(), s.destination.c_str()) != 0) {
      report("rename", s.destination);
      ++failures;
    }
  }
  return failures;
}

void removeStagingDirectory(const std::string& dir) { rmdir(dir.c_str()); }

}  // namespace

bool parseJournal(std::string_view text, std::vector<std::pair<std::string, std::string>>& renames,
                  std::vector<std::string>& deletions, std::vector<char>& order) {
  renames.clear();
  deletions.clear();
  order.clear();
  const size_t magic = strlen(JOURNAL_MAGIC);
  if (text.substr(0, magic) != JOURNAL_MAGIC) return false;
  const size_t endAt = text.rfind("END ");
  if (endAt == std::string_view::npos || endAt < magic || text[endAt - 1] != '\n') return false;
  size_t count = 0;
  unsigned long crc = 0;
  char tail;
  const std::string endLine(text.substr(endAt));
  if (sscanf(endLine.c_str(), "END %zu %8lx%c", &count, &crc, &tail) != 3 || tail != '\n' ||
      endLine.size() != endLine.find('\n') + 1)
    return false;
  if (crc != crc32(0, reinterpret_cast<const Bytef*>(text.data()), uInt(endAt))) return false;
  for (size_t at = magic; at < endAt;) {
    const size_t nl = text.find('\n', at);
    std::string_view line = text.substr(at, nl - at);
    at = nl + 1;
    if (line.size() < 3 || line[1] != ' ') return false;
    std::string_view rest = line.substr(2);
    if (line[0] == 'D') {
      std::string path;
      if (!unescape(rest, path)) return false;
      deletions.push_back(path);
    } else if (line[0] == 'R') {
      const size_t blank = rest.find(' ');
      std::string source, destination;
      if (blank == std::string_view::npos || !unescape(rest.substr(0, blank), source) ||
          !unescape(rest.substr(blank + 1), destination))
        return false;
      renames.emplace_back(source, destination);
    } else {
      return false;
    }
    order.push_back(line[0]);
  }
  return order.size() == count;
}

namespace {

bool loadJournal(const std::string& text, std::vector<Step>& steps) {
  std::vector<std::pair<std::string, std::string>> renames;
  std::vector<std::string> deletions;
  std::vector<char> order;
  if (!parseJournal(text, renames, deletions, order)) return false;
  size_t r = 0, d = 0;
  for (char kind : order) {
    if (kind == 'D')
      steps.push_back({'D', "", deletions[d++]});
    else
      steps.push_back({'R', renames[r].first, renames[r].second}), ++r;
  }
  return true;
}

// Writes the journal atomically and durably: a whole journal or none.
bool writeJournal(const std::vector<Step>& steps) {
  const std::string text = journalText(steps);
  const std::string next = std::string(COMMIT_JOURNAL) + ".new";
  faultPoint();
  vl::Fd fd(open(next.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd.valid()) {
    report("open", next);
    return false;
  }
  faultPoint();
  bool ok = vl::writeAll(fd.get(), text.data(), text.size());
  faultPoint();
  ok = ok && fsync(fd.get()) == 0;
  ok = fd.reset() && ok;
  faultPoint();
  if (!ok || rename(next.c_str(), COMMIT_JOURNAL) != 0) {
    report("journal", COMMIT_JOURNAL);
    unlink(next.c_str());
    return false;
  }
  syncDirectory(parentOf(COMMIT_JOURNAL));
  return true;
}

void removeJournal() {
  faultPoint();
  unlink(COMMIT_JOURNAL);
  syncDirectory(parentOf(COMMIT_JOURNAL));
}

}  // namespace

int Transaction::commit(const std::string& first, bool progress) {
  markCommitStart();
  // Staging: every new content, link and moved file ready beside its
  // destination's file system, before anything at a final path changes. A
  // failure here leaves everything as it was.
  std::vector<Step> steps;
  std::vector<std::string> staged;       // made here: deleted again on failure
  std::vector<std::string> consumed;     // temporary files copied into staging: deleted after
  std::set<std::string> stagingDirs, fileSystems;
  bool journal = false;
  // Nothing at a final path changed: the whole transaction is dropped, its
  // temporary files with it, and every change counts as failed.
  auto fail = [&] {
    for (const std::string& f : staged) unlink(f.c_str());
    const int failed = int(entries_.size() ? entries_.size() : 1);
    cancel();
    for (const std::string& d : stagingDirs) removeStagingDirectory(d);
    return failed;
  };
  auto stageBeside = [&](const std::string& destination, std::string& dir) {
    struct stat st;
    const std::string ancestor = nearestExisting(parentOf(destination), st);
    std::string root = stagingRoot(ancestor);
    struct stat rs;
    if (stat(root.c_str(), &rs) != 0 || rs.st_dev != st.st_dev) root = ancestor;
    dir = stagingDirectory(root);
    if (dir.empty()) return false;
    stagingDirs.insert(dir);
    fileSystems.insert(dir);
    return true;
  };
  auto stageRename = [&](const std::string& destination, TransactionEntry& entry) {
    struct stat src, dst;
    if (lstat(entry.source.c_str(), &src) != 0) {
      report("rename", entry.source);
      return false;
    }
    nearestExisting(parentOf(destination), dst);
    std::string source = entry.source;
    if (src.st_dev != dst.st_dev) {
      // Across file systems: copy into the destination's file system first,
      // so that the change itself is a rename. The old file stays whole
      // until then, so the copy must fit beside it.
      std::string dir;
      if (!stageBeside(destination, dir)) {
        report("copy", destination);
        return false;
      }
      source = makeTemporary(dir);
      if (source.empty() || !copyFile(entry.source, source, progress)) {
        if (!source.empty()) unlink(source.c_str());
        report("copy", destination);
        return false;
      }
      staged.push_back(source);
      if (entry.temporary) consumed.push_back(entry.source);
      entry.kind = ENTRY_COPY;
    } else {
      fileSystems.insert(nearestExisting(parentOf(entry.source), src));
    }
    steps.push_back({'R', source, destination});
    journal |= under(destination, "/flash");
    return true;
  };
  if (!first.empty()) {
    auto it = entries_.find(first);
    if (it != entries_.end() && (it->second.kind == ENTRY_MOVE || it->second.kind == ENTRY_NEW_FILE) &&
        !stageRename(first, it->second))
      return fail();
  }
  for (auto& [destination, entry] : entries_) {
    if (entry.kind == ENTRY_DELETE) {
      steps.push_back({'D', "", destination});
      journal |= under(destination, "/flash");
      struct stat st;
      fileSystems.insert(nearestExisting(parentOf(destination), st));
    } else if (entry.kind == ENTRY_SYMLINK) {
      // Made aside and renamed over the destination: the old file or the new
      // link, never neither.
      std::string dir;
      if (!stageBeside(destination, dir)) return fail();
      std::string name = makeTemporary(dir);
      faultPoint();
      if (name.empty() || unlink(name.c_str()) != 0 || symlink(entry.source.c_str(), name.c_str()) != 0) {
        report("symlink", destination);
        return fail();
      }
      staged.push_back(name);
      steps.push_back({'R', name, destination});
      journal |= under(destination, "/flash");
    }
  }
  for (auto& [destination, entry] : entries_) {
    if (destination == first && !first.empty()) continue;
    if ((entry.kind == ENTRY_MOVE || entry.kind == ENTRY_NEW_FILE) && !stageRename(destination, entry)) return fail();
  }
  for (const auto& [destination, entry] : entries_)
    if (ownsTemporary(entry)) stagingDirs.insert(parentOf(entry.source));
  journal &= vl::fileExists("/flash", S_IFDIR);
  if (journal) {
    // What the steps rename must be on disk before the journal says to.
    syncFileSystemsOf(fileSystems);
    if (!writeJournal(steps)) return fail();
  }
  const int failures = carryOut(steps);
  if (journal) {
    fileSystems.insert("/flash");
    syncFileSystemsOf(fileSystems);
    removeJournal();
  }
  for (const std::string& f : consumed) unlink(f.c_str());
  for (const std::string& d : stagingDirs) removeStagingDirectory(d);
  if (!first.empty()) {
    auto it = entries_.find(first);
    if (it != entries_.end() && it->second.kind != ENTRY_DELETE && it->second.kind != ENTRY_SYMLINK) entries_.erase(it);
  }
  return failures;
}

void Transaction::cancel() {
  std::set<std::string> stagingDirs;
  for (auto& [destination, entry] : entries_)
    if (ownsTemporary(entry)) {
      unlink(entry.source.c_str());
      stagingDirs.insert(parentOf(entry.source));
    }
  for (const std::string& d : stagingDirs) removeStagingDirectory(d);
  entries_.clear();
}

void Transaction::restore(const std::map<std::string, TransactionEntry>& saved) {
  for (auto& [destination, entry] : entries_) {
    if (!ownsTemporary(entry)) continue;
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

namespace {

// An absolute path with no empty, "." or ".." component.
bool isPlainPath(std::string_view path) {
  if (path.size() < 2 || path[0] != '/' || path.back() == '/') return false;
  for (size_t at = 1; at <= path.size();) {
    size_t slash = path.find('/', at);
    if (slash == std::string_view::npos) slash = path.size();
    std::string_view part = path.substr(at, slash - at);
    if (part.empty() || part == "." || part == "..") return false;
    at = slash + 1;
  }
  return true;
}

}  // namespace

namespace {
bool parseManifestLines(std::string_view text, std::vector<ManifestLine>& lines, std::string& why);
}  // namespace

bool parseManifest(std::string_view text, std::vector<ManifestLine>& lines, std::string& why) {
  // Refused whole: what was taken before the bad line is dropped again.
  if (parseManifestLines(text, lines, why)) return true;
  lines.clear();
  return false;
}

namespace {

bool parseManifestLines(std::string_view text, std::vector<ManifestLine>& lines, std::string& why) {
  lines.clear();
  size_t number = 0;
  for (size_t at = 0; at < text.size();) {
    ++number;
    const size_t end = text.find('\n', at);
    const std::string where = "line " + std::to_string(number);
    if (end == std::string_view::npos) {
      why = where + " is cut short";
      return false;
    }
    std::string_view line = text.substr(at, end - at);
    at = end + 1;
    if (line.find('\0') != std::string_view::npos) {
      why = where + " holds a NUL byte";
      return false;
    }
    if (line.empty()) break;  // an empty line ends the manifest
    std::vector<std::string_view> fields;
    for (size_t f = 0; f <= line.size();) {
      size_t blank = line.find(' ', f);
      if (blank == std::string_view::npos) blank = line.size();
      fields.push_back(line.substr(f, blank - f));
      f = blank + 1;
    }
    const std::string_view kind = fields[0];
    if (kind != "U" && kind != "L" && kind != "M") continue;  // not ours: ignored
    const size_t wanted = kind == "U" ? 2 : 3;
    if (fields.size() != wanted) {
      why = where + " has " + std::to_string(fields.size()) + " fields, not " + std::to_string(wanted);
      return false;
    }
    // A link's target is any text; paths must be plain and absolute.
    if (!isPlainPath(fields[1]) || (kind == "M" && !isPlainPath(fields[2])) || (kind == "L" && fields[2].empty())) {
      why = where + " names a path that is not absolute and plain";
      return false;
    }
    lines.push_back({kind[0], std::string(fields[1]), wanted == 3 ? std::string(fields[2]) : std::string()});
  }
  return true;
}

}  // namespace

bool Transaction::loadManifest(const std::string& path, std::string* why) {
  std::string text, reason;
  const vl::ReadStatus status = vl::readBoundedFile(path, MANIFEST_LIMIT, text);
  if (status != vl::ReadStatus::OK) {
    if (why) *why = vl::readStatusText(status);
    return false;
  }
  std::vector<ManifestLine> lines;
  if (!parseManifest(text, lines, reason)) {
    if (why) *why = reason;
    return false;
  }
  for (const ManifestLine& l : lines) {
    if (l.kind == 'U')
      record(l.destination, {ENTRY_DELETE, ""});
    else
      record(l.destination, {l.kind == 'L' ? ENTRY_SYMLINK : ENTRY_MOVE, l.source});
  }
  if (why) why->clear();
  return !entries_.empty();
}

InterruptedCommit finishInterruptedCommit(const std::set<std::string>& keep) {
  InterruptedCommit result = InterruptedCommit::NONE;
  std::string text;
  const vl::ReadStatus status = vl::readBoundedFile(COMMIT_JOURNAL, JOURNAL_LIMIT, text);
  if (status != vl::ReadStatus::MISSING) {
    std::vector<Step> steps;
    if (status == vl::ReadStatus::OK && loadJournal(text, steps)) {
      result = carryOut(steps) == 0 ? InterruptedCommit::FINISHED : InterruptedCommit::FAILED;
      // Done on disk before the journal goes, on every file system touched.
      std::set<std::string> touched = {"/flash"};
      for (const Step& step : steps) {
        struct stat st;
        touched.insert(nearestExisting(parentOf(step.destination), st));
      }
      syncFileSystemsOf(touched);
    } else {
      // Only a whole journal is ever renamed into place: this one was never
      // acted on (or is damaged), and nothing of it is carried out.
      result = InterruptedCommit::DROPPED;
    }
    removeJournal();
  }
  unlink((std::string(COMMIT_JOURNAL) + ".new").c_str());
  // What interrupted runs left: their temporary files, and the copies of
  // packages read from standard input, unless a saved transaction names them.
  for (const char* root : {"/flash", "/flash/boot", "/ram", "/tmp"}) {
    const std::string dir = std::string(root) + "/" + STAGING_NAME;
    DIR* d = opendir(dir.c_str());
    if (!d) continue;
    while (dirent* e = readdir(d)) {
      const std::string path = dir + "/" + e->d_name;
      if (e->d_name[0] == '.' || keep.count(path)) continue;
      unlink(path.c_str());
    }
    closedir(d);
    rmdir(dir.c_str());
  }
  for (const char* copy : {"/flash/image", "/flash/var/pdb/image"})
    if (!keep.count(copy)) unlink(copy);
  return result;
}

bool commitPending() {
  struct stat st;
  return lstat(COMMIT_JOURNAL, &st) == 0;
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
