// The interactive install from a CD-ROM: load the drivers, find the disk and
// the disc, let the operator pick packages, prepare the disk and stream each
// package into an install child.
#pragma once

#include "init/disk/drive_discovery.h"

namespace flow {

// Tried in order for a disc holding an ISO 9660 file system.
extern const char* const CdromDevices[];
inline constexpr unsigned long MEDIUM_MOUNT_FLAGS = 0xC0ED0001;  // the old magic and read-only

bool runCdromInstall(disk::InstallTarget& target);

}  // namespace flow
