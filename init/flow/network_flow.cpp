#include "init/flow/network_flow.h"

#include <sys/mount.h>
#include <sys/utsname.h>

#include <cstdio>

#include "init/console/terminal.h"
#include "init/disk/disk_preparation.h"
#include "init/disk/handoff.h"
#include "init/flow/install_child.h"
#include "init/flow/modules.h"
#include "init/flow/startup.h"
#include "init/net/interfaces.h"
#include "init/net/session.h"
#include "runtime/fileutil.h"
#include "runtime/version.h"

namespace flow {

namespace {

// The first line of label.txt on a floppy, if there is one.
std::string readFloppyLabel() {
  if (mount("/dev/fd0", "/floppy", "vfat", 0, nullptr) != 0) return "";
  std::string line;
  if (FILE* f = fopen("/floppy/label.txt", "re")) {
    char buffer[64] = {};
    if (fgets(buffer, sizeof buffer, f)) line = buffer;
    fclose(f);
  }
  umount("/floppy");
  return line;
}

std::string kernelRelease() {
  utsname u = {};
  return uname(&u) == 0 ? u.release : "";
}

}  // namespace

bool installFromNetwork(const disk::InstallTarget& target, net::NetFileStream& stream, bool image) {
  InstallChild child;
  // The driver package goes quietly into the running installer; packages
  // into the new system, with their progress shown.
  if (!child.start(target.keptStates, image ? ChildMode::IMAGE : ChildMode::DIRECT, !image)) {
    puts("\nFATAL ERROR: couldn't start install");
    return false;
  }
  uint8_t block[INSTALL_RECORD_SIZE];
  for (;;) {
    const ssize_t n = stream.read(block, sizeof block);
    if (n < 0) {
      (void)child.finish();
      puts("\nFATAL ERROR: bad network connection");
      return false;
    }
    if (n == 0) {
      (void)child.finish();  // what the engine made of the package, it has said itself
      return true;
    }
    if (!child.send(block, size_t(n))) {
      puts("");
      (void)child.finish();
      return false;
    }
  }
}

bool runNetworkInstall(disk::InstallTarget& target) {
  console::showBanner("remote installation");
  net::SocketNetIo io;
  net::NetSession session(io);
  net::SessionSteps steps;
  steps.kernelRelease = kernelRelease();
  steps.minimumVersion = vl::version2string(vl::getMinZelVersion());
  steps.loadDrivers = [] {
    loadModuleList(StorageModules);
    loadModuleList(UsbModules);
  };
  steps.findDisk = [](disk::InstallTarget& t) { return disk::findHardDisk(t); };
  steps.readLabel = readFloppyLabel;
  steps.prepareDisk = [](disk::InstallTarget& t, bool keep) { return disk::prepareDisk(t, keep); };
  steps.install = installFromNetwork;
  steps.finish = [] {
    disk::finishInstall();
    rebootPending = true;  // from here an interrupt no longer aborts
  };
  return net::runSession(session, target, steps);
}

}  // namespace flow
