// The benchmarks' big package: about 256 MiB (248 MiB of random bytes and a
// 128 MiB log file that compresses well), SHA-256, signed with Ed25519; made
// once and kept in the build directory.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace qvbench {
std::string packagePath();
bool makePackage();
// Inflates the package's file part alone (the baseline's share of the work); 0 on success.
int inflateFilePart();

// Runs fn in a child; its wall time in seconds and peak resident size in KiB.
template <class Fn>
bool inChild(Fn fn, double& seconds, long& peakKiB) {
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) _exit(fn());
  int status = 0;
  struct rusage usage;
  wait4(pid, &status, 0, &usage);
  seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  peakKiB = usage.ru_maxrss;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace qvbench
