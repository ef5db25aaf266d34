#include "init/disk/handoff.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

namespace disk {

std::string logDevicePath = "/dev/tty9";

int runInTarget(const std::string& program, const std::vector<std::string>& arguments) {
  std::vector<const char*> argv = {program.c_str()};
  for (const std::string& a : arguments) {
    if (argv.size() >= 16) break;
    argv.push_back(a.c_str());
  }
  argv.push_back(nullptr);
  fflush(nullptr);  // nothing buffered may be written twice
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    for (int fd = 0; fd <= 15; ++fd) close(fd);
    open("/dev/null", O_RDONLY);               // 0
    open(logDevicePath.c_str(), O_WRONLY);     // 1
    dup(1);                                    // 2
    signal(SIGPIPE, SIG_DFL);                  // the installer ignores it; the installed system must not
    if (chroot("/flash") == 0 && chdir("/") == 0) execv(program.c_str(), const_cast<char* const*>(argv.data()));
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

void finishInstall() {
  int fd = open("/flash/rw/REBOOT", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd >= 0) close(fd);
  struct stat st;
  if (stat("/flash/etc/rc.d/rc.postinstall", &st) == 0)
    runInTarget("/bin/bash", {"-c", "/etc/rc.d/rc.postinstall"});
  else
    runInTarget("/bin/ruel", {"ruel"});
  sync();
  umount("/flash/boot");
  umount("/flash");
}

}  // namespace disk
