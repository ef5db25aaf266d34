// Throw-away roots for tests of code whose paths are absolute (/ram, /dev,
// /sys, /flash): the code runs in a forked child with a private mount
// namespace, chrooted into a temporary directory, so nothing reaches the host's
// tree. Tests run as root.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace qvtest {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// Creates the parent directories and writes the file.
void writeFile(const std::string& path, const std::string& content);
void makeDirs(const std::string& path);
std::string readFile(const std::string& path);
// Everything up to the end of the descriptor (a pipe's other end closed); then closes it.
std::string readToEndAndClose(int fd);

struct RootOptions {
  // Bind the host's /usr, /lib, /lib32, /lib64 and these directories (at the
  // same paths, read-only) into the root, so that dynamically linked programs
  // can be run there.
  bool systemDirs = false;
  std::vector<std::string> extraBinds;
  // Runs in the child's own mount namespace before it enters the root (to
  // mount file systems inside it, for instance); false ends the child.
  std::function<bool()> beforeChroot;
};

// Runs fn chrooted into root in a forked child; true when fn returned true
// and no test assertion failed in the child.
bool runInRoot(const std::string& root, const std::function<bool()>& fn, const RootOptions& options = {});

// Sends standard output (the stream and direct writes to descriptor 1) into
// a file, for code whose messages are checked afterwards.
void redirectStdout(const std::string& path);

// The directory holding the running test program (for helper programs built beside it).
std::string testProgramDir();

}  // namespace qvtest
