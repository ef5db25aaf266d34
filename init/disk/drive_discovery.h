// Finding the disk that receives the system: the first node of a fixed table
// that opens and is not a CD-ROM drive, searched for up to about 20 seconds
// with a dotted progress line.
#pragma once

#include <functional>

#include "pkg/package_record.h"

namespace disk {

struct HardDiskRow {
  const char* path;   // null in the terminating row
  const char* label;
};

// In probe order; the first usable row wins.
extern const HardDiskRow HardDiskTable[];

struct InstallTarget {
  const HardDiskRow* disk = nullptr;
  pkg::PackageStates keptStates;
};

// Whether the open device is an optical drive (the CD-ROM drive-status request succeeds).
bool isCdromDrive(int fd);

// Sets target.disk and prints "Found harddrive as <label>", or prints
// "FATAL ERROR: no harddrives found" after about 20 seconds and returns false.
[[nodiscard]] bool findHardDisk(InstallTarget& target, const std::function<bool(int)>& isCdrom = isCdromDrive);

}  // namespace disk
