#include "runtime/system.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace vl {

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

int Fd::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

bool Fd::reset(int fd) {
  bool ok = true;
  if (fd_ >= 0) ok = close(fd_) == 0;
  fd_ = fd;
  return ok;
}

bool writeAll(int fd, const void* data, size_t n) {
  auto* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t done = write(fd, p, n);
    if (done < 0 && errno == EINTR) continue;
    if (done < 0) return false;
    if (done == 0) {
      errno = ENOSPC;  // a file that takes no more bytes: its disk is full
      return false;
    }
    p += done;
    n -= size_t(done);
  }
  return true;
}

ssize_t readFull(int fd, void* buffer, size_t n) {
  auto* p = static_cast<char*>(buffer);
  size_t got = 0;
  while (got < n) {
    const ssize_t r = read(fd, p + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) break;
    got += size_t(r);
  }
  return ssize_t(got);
}

int waitChild(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return status;
}

namespace {

// The one fork-exec: enter runs in the child after setup and before execvp
// (false: the child exits with 127).
int forkExec(const std::string& program, const std::vector<std::string>& argv, const std::function<void()>& setup,
             const std::function<bool()>& enter) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (setup) setup();
    if (!enter || enter()) execvp(program.c_str(), args.data());
    _exit(127);
  }
  return waitChild(pid);
}

}  // namespace

int runChrooted(const std::string& root, const std::string& program, const std::vector<std::string>& argv,
                const std::function<void()>& setup) {
  // An absolute program path inside the new root: execvp does not search then.
  return forkExec(program, argv, setup, [&] { return chroot(root.c_str()) == 0 && chdir("/") == 0; });
}

int runProgram(const std::vector<std::string>& argv, const std::function<void()>& setup) {
  if (argv.empty()) return -1;
  return forkExec(argv[0], argv, setup, {});
}

void setSignal(int signal, void (*handler)(int), int flags) {
  struct sigaction action = {};
  action.sa_handler = handler;
  action.sa_flags = flags;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
}

void reportFailure(const std::string& operation) {
  const int e = errno;
  fprintf(stderr, "%s: %s\n", operation.c_str(), strerror(e));
  errno = e;
}

}  // namespace vl
