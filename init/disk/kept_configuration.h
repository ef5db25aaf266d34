// The old system's configuration carried over a reinstall: the store, the
// branding image and the wireless data, held in memory while the disk is
// rewritten, and the states the user chose for the installed packages.
#pragma once

#include <memory>

#include "init/disk/drive_discovery.h"
#include "init/disk/tree_snapshot.h"

namespace disk {

struct KeptConfiguration {
  std::unique_ptr<TreeSnapshot> branding;
  std::unique_ptr<TreeSnapshot> wireless;
  std::unique_ptr<TreeSnapshot> store;
};

// From the old data file system on /flash; fills target.keptStates too when a
// store exists. Never fails: only a store that cannot be held is reported.
void saveOldConfiguration(InstallTarget& target, KeptConfiguration& kept);

// Onto the new file systems, consuming the snapshots. False (reported) only
// when the store could not be written back.
[[nodiscard]] bool restoreOldConfiguration(KeptConfiguration& kept);

}  // namespace disk
