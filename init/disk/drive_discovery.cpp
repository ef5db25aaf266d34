#include "init/disk/drive_discovery.h"

#include <fcntl.h>
#include <linux/cdrom.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>

namespace disk {

const HardDiskRow HardDiskTable[] = {
    {"/dev/hda", "IDE Primary master (disk C)"},
    {"/dev/hdb", "IDE Primary slave (disk D)"},
    {"/dev/hdc", "IDE Secondary master (disk E)"},
    {"/dev/hdd", "IDE Secondary slave (disk F)"},
    {"/dev/sda", "SATA 1"},
    {"/dev/sdb", "SATA 2"},
    {"/dev/sdc", "SATA 3"},
    {"/dev/sdd", "SATA 4"},
    {"/dev/sde", "SATA 5"},
    {"/dev/sdf", "SATA 6"},
    {"/dev/sdg", "SATA 7"},
    {"/dev/sdh", "SATA 8"},
    {"/dev/xvda", "Virtual Disk"},
    {"/dev/vda", "Virtual Disk"},
    {nullptr, nullptr},
};

namespace {

volatile sig_atomic_t tickCount = 0;

bool installTick();

void onTick(int) {
  tickCount = tickCount + 1;
  const char dot = '.';
  ssize_t ignored = write(1, &dot, 1);
  (void)ignored;
  if (installTick()) alarm(1);
}

bool installTick() {
  struct sigaction action = {};
  action.sa_handler = onTick;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  return sigaction(SIGALRM, &action, nullptr) == 0;
}

}  // namespace

void startProgress(const char* text) {
  fputs(text, stdout);
  fflush(stdout);
  if (installTick()) alarm(1);
}

void stopProgress() {
  printf("\n");
  fflush(stdout);
  struct sigaction action = {};
  action.sa_handler = SIG_IGN;
  action.sa_flags = SA_RESTART;
  sigaction(SIGALRM, &action, nullptr);
}

unsigned ticks() { return unsigned(tickCount); }

bool isCdromDrive(int fd) { return ioctl(fd, CDROM_DRIVE_STATUS, 0) >= 0; }

bool findHardDisk(InstallTarget& target, const std::function<bool(int)>& isCdrom) {
  printf("\n");
  startProgress("Looking for harddrives...");
  const unsigned start = ticks();
  // The ticker is the clock; should it not run, a monotonic clock still ends
  // the search after about 20 seconds.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(21);
  while (!target.disk && ticks() - start <= 19 && std::chrono::steady_clock::now() < deadline) {
    const HardDiskRow* chosen = nullptr;
    for (const HardDiskRow* row = HardDiskTable; row->path && !chosen; ++row) {
      int fd = open(row->path, O_RDONLY | O_CLOEXEC);
      if (fd < 0) continue;
      const bool optical = isCdrom(fd);
      close(fd);
      if (!optical) chosen = row;
    }
    target.disk = chosen;
  }
  stopProgress();
  if (!target.disk) {
    printf("\nFATAL ERROR: no harddrives found\n");
    fflush(stdout);
    return false;
  }
  printf("\nFound harddrive as %s\n", target.disk->label);
  fflush(stdout);
  return true;
}

}  // namespace disk
