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
#include "init/flow/modules.h"

namespace flow {

volatile bool rebootPending = false;

namespace {

void restartMachine() {
  fflush(nullptr);
  reboot(RB_AUTOBOOT);  // LINUX_REBOOT_CMD_RESTART
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

void setSignal(int signal, void (*handler)(int), int flags) {
  struct sigaction action = {};
  action.sa_handler = handler;
  action.sa_flags = flags;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
}

}  // namespace

int runLauncher(const char* programName, const std::function<int()>& work) {
  if (!strstr(programName, "init")) return work();
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return work();
  if (pid == 0) _exit(work());
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      status = -1;
      break;
    }
  }
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

bool runHardDiskInstall(disk::InstallTarget&) {
  puts("\nFATAL ERROR: No hard disk found");
  return false;
}

bool runNetworkInstall(disk::InstallTarget&) {
  puts("\nFATAL ERROR: no network card found");
  return false;
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
  setSignal(SIGINT, onInterrupt, 0);
  setSignal(SIGPIPE, SIG_IGN, 0);
  setSignal(SIGCHLD, SIG_DFL, SA_RESTART);
  loadModule(EARLY_NETWORK_MODULE);
  console::lcdFd = open("/dev/lcd", O_RDWR | O_CLOEXEC);
  disk::InstallTarget target;
  const bool hardDisk = hasHardDiskOption(argc, argv);
  const std::string modeText = readInstallMode();

  bool ask = true;
  switch (chooseMode(hardDisk, modeText)) {
    case InstallMode::HARD_DISK:
      ask = !runHardDiskInstall(target);
      break;
    case InstallMode::CDROM:
      console::enterRawMode(console::terminal);
      puts("Loading drivers");
      fflush(stdout);
      loadModuleList(StorageModules);
      loadModuleList(UsbModules);
      if (disk::findHardDisk(target)) runCdromInstall(target);
      break;
    case InstallMode::NETWORK:
      ask = !runNetworkInstall(target);
      break;
    case InstallMode::UNKNOWN:
      puts("FATAL ERROR: internal error");
      break;
  }
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
