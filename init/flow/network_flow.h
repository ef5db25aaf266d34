// The install from an installation server on the local network.
#pragma once

#include "init/disk/drive_discovery.h"

namespace flow {

// True when the software was installed: init then reboots without asking.
bool runNetworkInstall(disk::InstallTarget& target);

}  // namespace flow
