#include "init/flow/cdrom_flow.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "init/console/package_menu.h"
#include "init/console/terminal.h"
#include "init/disk/disk_preparation.h"
#include "init/disk/handoff.h"
#include "init/flow/install_pipe.h"

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

// Streams one package file into its own install child. False after the message.
bool installPackageFile(const disk::InstallTarget& target, const std::string& path) {
  FILE* pipe = openInstallPipe(target.keptStates, true, false);
  if (!pipe) {
    puts("\nFATAL ERROR: couldn't start install");
    return false;
  }
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  char buffer[COPY_BUFFER_SIZE];
  for (;;) {
    const ssize_t n = fd < 0 ? -1 : read(fd, buffer, sizeof buffer);
    if (n < 0) {
      closeInstallPipe(pipe);
      if (fd >= 0) close(fd);
      puts("\nFATAL ERROR: corrupted CD-ROM");
      return false;
    }
    if (n == 0) break;
    if (fwrite(buffer, size_t(n), 1, pipe) != 1) {
      puts("");
      closeInstallPipe(pipe);
      close(fd);
      return false;
    }
  }
  closeInstallPipe(pipe);
  close(fd);
  return true;
}

}  // namespace

bool runCdromInstall(disk::InstallTarget& target) {
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
  for (const console::OfferedPackage* package : order)
    if (!installPackageFile(target, package->record.path)) return false;
  disk::finishInstall();
  puts("");
  puts("Software installed.");
  return true;
}

}  // namespace flow
