// vpkg extract: the regular files of a package, written under a directory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "pkg/names.h"
#include "tools/vpkg/commands.h"
#include "tools/vpkg/inspect.h"

namespace vpkg {

static const char kExtractHelp[] =
    "usage: vpkg extract FILE DIRECTORY\n"
    "\n"
    "Writes the regular-file entries of every package in FILE under DIRECTORY,\n"
    "with their permission bits; entries with the skip marker and entries of\n"
    "other types are left out. An entry whose path would land outside DIRECTORY\n"
    "(a '..' component, or a symbolic link on the way) is refused.\n";

namespace {

// Creates the directories of relative below root, refusing symbolic links on the way.
bool makeParents(const std::string& root, const std::string& relative) {
  std::string at = root;
  size_t start = 0;
  for (size_t slash; (slash = relative.find('/', start)) != std::string::npos; start = slash + 1) {
    if (slash == start) continue;
    at += "/" + relative.substr(start, slash - start);
    struct stat st;
    if (lstat(at.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return false;
    } else if (mkdir(at.c_str(), 0755) != 0) {
      return false;
    }
  }
  return true;
}

bool extractEntry(const std::string& root, const pkg::FileEntry& entry, pkg::FileEntryStream& stream) {
  if (!entry.written()) return true;
  if (!pkg::isSafeEntryPath(entry.path)) {
    fprintf(stderr, "vpkg: refusing %s: outside the directory\n", entry.path.c_str());
    return false;
  }
  std::string relative = entry.path[0] == '/' ? entry.path.substr(1) : entry.path;
  if (relative.empty() || !makeParents(root, relative)) {
    fprintf(stderr, "vpkg: refusing %s: cannot make its directory inside %s\n", entry.path.c_str(), root.c_str());
    return false;
  }
  const std::string target = root + "/" + relative;
  int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, entry.mode & 07777);
  if (fd < 0) {
    fprintf(stderr, "vpkg: %s: %s\n", target.c_str(), strerror(errno));
    return false;
  }
  uint8_t block[pkg::FILE_DATA_BLOCK_SIZE];
  bool ok = true;
  for (size_t n; ok && (n = stream.readData(block, sizeof block)) > 0;) ok = write(fd, block, n) == ssize_t(n);
  ok = ok && fchmod(fd, entry.mode & 07777) == 0 && !stream.truncated();
  close(fd);
  if (!ok) fprintf(stderr, "vpkg: %s: write failed\n", target.c_str());
  return ok;
}

}  // namespace

int extractCommand(int argc, char** argv) {
  if (wantsHelp(argc, argv)) return printHelp(kExtractHelp);
  if (argc != 2) return usageError(kExtractHelp);
  const std::string path = argv[0], root = argv[1];
  struct stat st;
  if (stat(root.c_str(), &st) != 0 && mkdir(root.c_str(), 0755) != 0) {
    fprintf(stderr, "vpkg: %s: %s\n", root.c_str(), strerror(errno));
    return 1;
  }
  FileReport report;
  std::string why;
  bool ok = inspectPackageFile(path, cipher::builtinPackageKeys(), report, why,
                               [&](const pkg::FileEntry& e, pkg::FileEntryStream& s) { return extractEntry(root, e, s); });
  if (!ok) {
    fprintf(stderr, "vpkg: %s: %s\n", path.c_str(), why.c_str());
    return 1;
  }
  for (const PackageReport& p : report.packages)
    if (p.level < p.required)
      fprintf(stderr, "vpkg: %s: warning: %s has signature level %d, the system requires %d\n", path.c_str(),
              p.record.name.c_str(), p.level, p.required);
  return 0;
}

}  // namespace vpkg
