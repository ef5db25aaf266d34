// Turning the chosen disk into the new system's storage: keep the old
// configuration if asked, write the boot record, format, mount on /flash
// (and the boot partition on /flash/boot), and write the configuration back.
#pragma once

#include <string>

#include "init/disk/drive_discovery.h"
#include "init/disk/kept_configuration.h"

namespace disk {

// "<disk>1" is the boot partition (the only one on a small disk), "<disk>2" the
// data partition ("<disk>p1" and "<disk>p2" when the disk's name ends in a digit).
std::string partitionPath(const InstallTarget& target, int number);

// Mounts the data file system on /flash (ext3, else ext2) and, when asked, the
// boot file system on /flash/boot. Without the boot partition (the old disk,
// layout unknown) a disk whose second partition does not mount is tried as a
// one-partition disk; with it (the new layout) only the layout its size gives is.
[[nodiscard]] bool mountTarget(const InstallTarget& target, bool withBoot);

// The whole preparation, with its messages; true when the new file systems
// are mounted and the install can go on.
[[nodiscard]] bool prepareDisk(InstallTarget& target, bool keepConfiguration);

// Its second half: partition, format and mount the disk, then write back the
// configuration kept from the old system (read from wherever it was).
[[nodiscard]] bool prepareNewDisk(const InstallTarget& target, KeptConfiguration& kept);

}  // namespace disk
