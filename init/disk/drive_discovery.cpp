#include "init/disk/drive_discovery.h"

#include <fcntl.h>
#include <linux/cdrom.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>

#include "init/console/progress.h"

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

bool isCdromDrive(int fd) { return ioctl(fd, CDROM_DRIVE_STATUS, 0) >= 0; }

bool findHardDisk(InstallTarget& target, const std::function<bool(int)>& isCdrom) {
  printf("\n");
  console::startProgress("Looking for harddrives...");
  const unsigned start = console::ticks();
  // The ticker is the clock; should it not run, a monotonic clock still ends
  // the search after about 20 seconds.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(21);
  while (!target.disk && console::ticks() - start <= 19 && std::chrono::steady_clock::now() < deadline) {
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
  console::stopProgress();
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
