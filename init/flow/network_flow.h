// The install from an installation server on the local network.
#pragma once

#include "init/disk/drive_discovery.h"
#include "init/net/exchange.h"

namespace flow {

// The stream's file through an install child: image mode for a package of
// the new system, direct mode (quiet) for the driver package. False after
// the message.
[[nodiscard]] bool installFromNetwork(const disk::InstallTarget& target, net::NetFileStream& stream, bool image);

// True when the software was installed: init then reboots without asking.
bool runNetworkInstall(disk::InstallTarget& target);

}  // namespace flow
