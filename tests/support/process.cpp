#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>

namespace qvtest {

namespace {

// In a forked child: the program with its argument vector, or exit 127.
[[noreturn]] void execOrExit(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

// Appends what the ready output pipes (standard output, then error) hold; a
// pipe at its end is closed.
void collect(const pollfd* fds, bool& outOpen, bool& errOpen, ProcessResult& result) {
  char buffer[65536];
  for (int i = 0; i < 2; ++i) {
    if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
    ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
    if (n > 0) {
      (i == 0 ? result.out : result.err).append(buffer, size_t(n));
    } else {
      (i == 0 ? outOpen : errOpen) = false;
      close(fds[i].fd);
    }
  }
}

}  // namespace

ProcessResult runProgram(const std::vector<std::string>& argv, const std::string& input) {
  ProcessResult result;
  signal(SIGPIPE, SIG_IGN);  // a child that stops reading must not kill the test
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return result;
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    execOrExit(argv);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  size_t written = 0;
  if (input.empty()) {
    close(in[1]);
    in[1] = -1;
  }
  fcntl(in[1], F_SETFL, O_NONBLOCK);
  bool outOpen = true, errOpen = true;
  while (outOpen || errOpen) {
    pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
    fds[0].fd = outOpen ? out[0] : -1;
    fds[1].fd = errOpen ? err[0] : -1;
    if (poll(fds, 3, -1) < 0) continue;
    collect(fds, outOpen, errOpen, result);
    if (in[1] >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t n = write(in[1], input.data() + written, input.size() - written);
      if (n > 0) written += size_t(n);
      if (n < 0 || written == input.size()) {
        close(in[1]);
        in[1] = -1;
      }
    }
  }
  if (in[1] >= 0) close(in[1]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

ProcessResult runProgramUntil(const std::vector<std::string>& argv,
                              const std::function<bool(const std::string& out)>& done, int deadlineSeconds) {
  ProcessResult result;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return result;
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);  // so that whatever it starts goes with it
    const int none = open("/dev/null", O_RDONLY);
    dup2(none, 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    execOrExit(argv);
  }
  if (pid > 0) setpgid(pid, pid);
  close(out[1]);
  close(err[1]);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(deadlineSeconds);
  bool outOpen = true, errOpen = true, killed = false;
  while (outOpen || errOpen) {
    if (!killed && (done(result.out) || std::chrono::steady_clock::now() >= deadline)) {
      kill(-pid, SIGKILL);  // its pipes then close
      kill(pid, SIGKILL);   // should it not have had its own group yet
      killed = true;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd fds[2] = {{outOpen ? out[0] : -1, POLLIN, 0}, {errOpen ? err[0] : -1, POLLIN, 0}};
    if (poll(fds, 2, killed ? -1 : int(std::max<int64_t>(left.count(), 0)) + 1) < 0) continue;
    collect(fds, outOpen, errOpen, result);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::vector<std::string> ownProgram(const std::string& path, std::vector<std::string> arguments) {
  std::vector<std::string> argv;
  if (*QV_TEST_EMULATOR) argv.push_back(QV_TEST_EMULATOR);
  argv.push_back(path);
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return argv;
}

bool runsEmulated() { return *QV_TEST_EMULATOR != '\0'; }

std::string toHex(const unsigned char* bytes, size_t length) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < length; ++i) {
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 15];
  }
  return hex;
}

std::string toHex(const std::string& bytes) {
  return toHex(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

std::string fromHex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += char(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

}  // namespace qvtest
