// The network installation run, from the interfaces to the last handshake:
// drivers from any server, the disk, the server search, the disk prepared as
// the server asks, every file it sends (packages and a configuration
// script), the post-install steps and WTRM/TERM. Everything that is not the
// network is a step the caller gives, so that tests run the whole run
// against a fake network and fake steps.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "init/disk/drive_discovery.h"
#include "init/net/exchange.h"

namespace net {

struct SessionSteps {
  FILE* console = stdout;
  std::string root;  // prefix of the installer's absolute paths ("" in init)
  std::string kernelRelease, minimumVersion;
  std::function<void()> loadDrivers;                          // the storage and USB lists
  std::function<bool(disk::InstallTarget&)> findDisk;         // prints its own failure
  std::function<std::string()> readLabel;                     // label.txt's first line, "" without a floppy
  std::function<bool(disk::InstallTarget&, bool keep)> prepareDisk;
  // A package from the stream into an install child; false after the message.
  std::function<bool(const disk::InstallTarget&, NetFileStream&, bool image)> install;
  std::function<void()> finish;                               // post-install, then no more aborting
};

// True once the software is installed and the server said TERM (or a key
// was pressed); false after the message.
bool runSession(NetSession& s, disk::InstallTarget& target, const SessionSteps& steps);

}  // namespace net
