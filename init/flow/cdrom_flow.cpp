#include "init/flow/cdrom_flow.h"

#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "init/console/package_menu.h"
#include "init/console/terminal.h"
#include "init/disk/disk_preparation.h"
#include "init/disk/handoff.h"
#include "init/flow/install_child.h"
#include "init/flow/modules.h"

namespace flow {

const char* const CdromDevices[] = {"/dev/hda", "/dev/hdb", "/dev/hdc", "/dev/hdd", "/dev/sr0",
                                    "/dev/sr1", "/dev/sr2", "/dev/sr3", nullptr};

namespace {

// About twenty seconds for a drive to become ready.
bool mountDisc() {
  for (int pass = 0; pass < 20; ++pass) {
    for (const char* const* device = CdromDevices; *device; ++device)
      if (mount(*device, console::MEDIUM_DIRECTORY, "iso9660", MEDIUM_MOUNT_FLAGS, nullptr) == 0) return true;
    sleep(1);
  }
  return false;
}

}  // namespace

bool runCdromInstall(disk::InstallTarget& target) {
  console::enterRawMode(console::terminal);
  puts("Loading drivers");
  fflush(stdout);
  loadModuleList(StorageModules);
  loadModuleList(UsbModules);
  if (!disk::findHardDisk(target)) return false;
  if (!mountDisc()) {
    puts("\nFATAL ERROR: no CD-ROM found");
    return false;
  }
  console::PackageMenu menu;
  if (!console::loadOfferedPackages(menu)) return false;
  if (!console::runPackageMenu(menu)) {
    puts("Installation canceled");
    return false;
  }
  const bool keep = console::askYesNo("Do you want to keep old configuration? ");
  puts("");
  puts("Warning: all data on the disk will be erased!");
  puts("");
  if (!console::askYesNo("Continue?")) return false;
  puts("");
  if (!disk::prepareDisk(target, keep)) return false;
  puts("");
  std::vector<console::OfferedPackage*> order;
  console::orderSelectedPackages(menu, order);
  const bool installed = installPackages(
      target.keptStates, order.size(), [&](size_t i) { return openPackageFile(order[i]->record.path); },
      {"\nFATAL ERROR: couldn't start install", "\nFATAL ERROR: corrupted CD-ROM"});
  if (!installed) return false;
  disk::finishInstall();
  puts("");
  puts("Software installed.");
  return true;
}

}  // namespace flow
