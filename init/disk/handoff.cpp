#include "init/disk/handoff.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "runtime/system.h"

namespace disk {

std::string logDevicePath = "/dev/tty9";

int runInTarget(const std::string& program, const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {program};
  for (const std::string& a : arguments) {
    if (argv.size() >= 16) break;
    argv.push_back(a);
  }
  return vl::runChrooted("/flash", program, argv, [] {
    for (int fd = 0; fd <= 15; ++fd) close(fd);
    open("/dev/null", O_RDONLY);            // 0
    open(logDevicePath.c_str(), O_WRONLY);  // 1
    dup(1);                                 // 2
    signal(SIGPIPE, SIG_DFL);               // the installer ignores it; the installed system must not
  });
}

void leaveRebootMarker() {
  int fd = open("/flash/rw/REBOOT", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd >= 0) close(fd);
}

void runPostInstall() {
  struct stat st;
  if (stat("/flash/etc/rc.d/rc.postinstall", &st) == 0)
    runInTarget("/bin/bash", {"-c", "/etc/rc.d/rc.postinstall"});
  else
    runInTarget("/bin/ruel", {"ruel"});
}

void releaseTarget() {
  sync();
  umount("/flash/boot");
  umount("/flash");
}

void finishInstall() {
  leaveRebootMarker();
  runPostInstall();
  releaseTarget();
}

}  // namespace disk
