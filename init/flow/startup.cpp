#include "init/flow/startup.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "init/console/terminal.h"
#include "init/disk/handoff.h"
#include "init/flow/cdrom_flow.h"
#include "init/flow/hdd_flow.h"
#include "init/flow/network_flow.h"
#include "init/flow/modules.h"
#include "runtime/system.h"

namespace flow {

volatile bool rebootPending = false;

namespace {

void restartMachine() {
  fflush(nullptr);
  reboot(RB_AUTOBOOT);  // LINUX_REBOOT_CMD_RESTART
}

volatile sig_atomic_t workerPid = -1;

void forwardInterrupt(int) {
  const int saved = errno;
  if (workerPid > 0) kill(pid_t(workerPid), SIGINT);
  errno = saved;
}

void mountKernelFileSystems() {
  mount("proc", "/proc", "proc", 0, nullptr);
  mount("devtmpfs", "/dev", "devtmpfs", 0, nullptr);
  mkdir("/sys", 0755);
  mount("sysfs", "/sys", "sysfs", 0, nullptr);
  mkdir("/flash", 0755);
  mkdir("/ram", 0755);
}

// The video console if there is one, else the first serial port; the log
// console is then nowhere.
void chooseConsole() {
  if (FILE* video = fopen("/dev/tty0", "w")) {
    fclose(video);
    return;
  }
  disk::logDevicePath = "/dev/null";
  freopen("/dev/ttyS0", "r", stdin);
  freopen("/dev/ttyS0", "w", stdout);
  freopen("/dev/ttyS0", "w", stderr);
}


}  // namespace

int runLauncher(const char* programName, const std::function<int()>& work) {
  if (!strstr(programName, "init")) return work();
  // Ctrl-Alt-Delete reaches process 1 as SIGINT (the kernel is told so
  // below): the installation it aborts runs in the worker. Set before the
  // fork, so that no interrupt can find the launcher without it.
  struct sigaction previous = {};
  sigaction(SIGINT, nullptr, &previous);
  workerPid = -1;
  vl::setSignal(SIGINT, forwardInterrupt, SA_RESTART);
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    sigaction(SIGINT, &previous, nullptr);
    return work();
  }
  if (pid == 0) {
    sigaction(SIGINT, &previous, nullptr);
    _exit(work());
  }
  workerPid = pid;
  if (getpid() == 1) reboot(RB_DISABLE_CAD);
  // The worker's id is given up before it is reaped, so that no interrupt
  // is sent to a process id the system may have given to another process.
  siginfo_t info;
  while (waitid(P_PID, id_t(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
  workerPid = -1;
  const int status = vl::waitChild(pid);
  sigaction(SIGINT, &previous, nullptr);
  // Process 1 must not end: the kernel would panic instead of restarting.
  if (getpid() == 1) {
    sync();
    restartMachine();
  }
  return status;
}

std::string readInstallMode(const std::string& path) {
  char mode[80] = {};
  if (FILE* f = fopen(path.c_str(), "r")) {
    if (!fgets(mode, sizeof mode, f)) mode[0] = 0;
    fclose(f);
  }
  if (char* newline = strchr(mode, '\n')) *newline = 0;
  return mode;
}

bool hasHardDiskOption(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (strcmp(argv[i], "-hdd-install") == 0) return true;
  return false;
}

InstallMode chooseMode(bool hardDiskOption, const std::string& modeText) {
  if (hardDiskOption) return InstallMode::HARD_DISK;
  if (modeText == "cdrom") return InstallMode::CDROM;
  if (modeText == "net") return InstallMode::NETWORK;
  return InstallMode::UNKNOWN;
}

bool runFlow(InstallMode mode, disk::InstallTarget& target) {
  switch (mode) {
    case InstallMode::HARD_DISK: return runHardDiskInstall(target);
    case InstallMode::CDROM: return runCdromInstall(target);
    case InstallMode::NETWORK: return runNetworkInstall(target);
    case InstallMode::UNKNOWN: break;
  }
  puts("FATAL ERROR: internal error");
  return false;
}

bool asksBeforeReboot(InstallMode mode, bool installed) {
  // After a CD-ROM install the operator reads what happened, whatever it was.
  return mode == InstallMode::CDROM || !installed;
}

void onInterrupt(int) {
  if (rebootPending) return;
  puts("\n\nInstallation aborted");
  puts("Press ENTER to reboot");
  fflush(stdout);
  umount("/flash/boot");
  umount("/flash");
  umount("/floppy");
  console::waitForEnter();
  console::leaveRawMode(console::terminal);
  restartMachine();
  _exit(0);
}

int runInstaller(int argc, char** argv) {
  mountKernelFileSystems();
  chooseConsole();
  vl::setSignal(SIGINT, onInterrupt, 0);
  vl::setSignal(SIGPIPE, SIG_IGN, 0);
  vl::setSignal(SIGCHLD, SIG_DFL, SA_RESTART);
  loadModule(EARLY_NETWORK_MODULE);
  console::lcdFd = open("/dev/lcd", O_RDWR | O_CLOEXEC);
  disk::InstallTarget target;
  const bool hardDisk = hasHardDiskOption(argc, argv);
  const std::string modeText = readInstallMode();

  const InstallMode mode = chooseMode(hardDisk, modeText);
  const bool ask = asksBeforeReboot(mode, runFlow(mode, target));
  rebootPending = true;
  if (ask) {
    puts("Press ENTER to reboot");
    fflush(stdout);
    console::waitForEnter();
  }
  console::leaveRawMode(console::terminal);
  puts("");
  puts("Rebooting...");
  fflush(stdout);
  restartMachine();
  return 0;
}

}  // namespace flow
