// Thin, shared wrappers of the system calls both programs repeat: an owned
// descriptor, writing everything, waiting for a child, running a program
// inside another root, setting a signal, and reporting a failed call.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace vl {

// A descriptor closed when its owner goes; -1 when it holds none.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release();
  // Closes what it holds; false when that close failed.
  bool reset(int fd = -1);

 private:
  int fd_ = -1;
};

// All n bytes, short and interrupted writes repeated; false (errno set, ENOSPC
// for a write that took nothing) on failure.
[[nodiscard]] bool writeAll(int fd, const void* data, size_t n);
// Up to n bytes, interrupted reads repeated; fewer only at the end of the input.
// -1 on a read error.
ssize_t readFull(int fd, void* buffer, size_t n);

// Waits for the child, repeating interrupted waits: its raw wait status, or -1.
int waitChild(pid_t pid);

// Forks a child that runs setup (descriptors, signals), chroots into root,
// changes to "/" and executes program with the argument vector argv; it exits
// with 127 when that fails. Stdio is flushed first, so nothing buffered is
// written twice. The child's raw wait status, or -1 when it could not be
// started or waited for.
int runChrooted(const std::string& root, const std::string& program, const std::vector<std::string>& argv,
                const std::function<void()>& setup = {});

// Forks a child that runs setup and then executes argv[0], searched on PATH,
// with the argument vector argv (127 when that fails): its raw wait status,
// or -1 when it could not be started or waited for. Stdio is flushed first.
int runProgram(const std::vector<std::string>& argv, const std::function<void()>& setup = {});

// A disposition with an empty signal mask.
void setSignal(int signal, void (*handler)(int), int flags = 0);

// "operation: system text" on standard error, for the call that just failed.
void reportFailure(const std::string& operation);

}  // namespace vl
