#include "tests/support/sandbox.h"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace qvtest {

TempDir::TempDir() {
  char pattern[] = "/tmp/qvtest.XXXXXX";
  const char* made = mkdtemp(pattern);
  if (!made) abort();
  path_ = made;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void makeDirs(const std::string& path) { std::filesystem::create_directories(path); }

void writeFile(const std::string& path, const std::string& content) {
  makeDirs(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string readToEndAndClose(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, size_t(n));
  close(fd);
  return text;
}

namespace {

bool bindInto(const std::string& root, const std::string& dir) {
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) return true;  // not on this host
  std::string target = root + dir;
  if (S_ISLNK(st.st_mode)) {  // a merged /usr: /lib -> usr/lib
    char link[4096];
    ssize_t n = readlink(dir.c_str(), link, sizeof link - 1);
    if (n <= 0) return false;
    link[n] = 0;
    return symlink(link, target.c_str()) == 0 || errno == EEXIST;
  }
  if (!S_ISDIR(st.st_mode)) return true;
  makeDirs(target);
  if (mount(dir.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) return false;
  return mount(nullptr, target.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
}

}  // namespace

namespace {

// Failed assertions of the running test so far (the child inherits the
// parent's: only new ones count against it).
int failuresSoFar() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  if (!info) return 0;
  const ::testing::TestResult* result = info->result();
  int failed = 0;
  for (int i = 0; i < result->total_part_count(); ++i) failed += result->GetTestPartResult(i).failed();
  return failed;
}

}  // namespace

bool runInRoot(const std::string& root, const std::function<bool()>& fn, const RootOptions& options) {
  const int failedBefore = failuresSoFar();
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // A private mount namespace, with nothing propagating back to the host.
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(90);
    if (options.systemDirs) {
      for (const char* dir : {"/usr", "/lib", "/lib32", "/lib64", "/bin"})
        if (!bindInto(root, dir)) _exit(91);
      // The sanitizers' runtime reads /proc/self.
      makeDirs(root + "/proc");
      if (mount("proc", (root + "/proc").c_str(), "proc", 0, nullptr) != 0) _exit(91);
    }
    for (const std::string& dir : options.extraBinds)
      if (!bindInto(root, dir)) _exit(91);
    if (options.beforeChroot && !options.beforeChroot()) _exit(93);
    if (chroot(root.c_str()) != 0 || chdir("/") != 0) _exit(92);
    bool ok = fn();
    fflush(nullptr);
    _exit(ok && failuresSoFar() == failedBefore ? 0 : 1);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void redirectStdout(const std::string& path) {
  fflush(stdout);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(fd, 1);
  close(fd);
}

std::string testProgramDir() {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
}

}  // namespace qvtest
