#include "init/disk/kept_configuration.h"

#include <sys/stat.h>

#include <cstdio>

#include "init/console/progress.h"
#include "pkg/package_set.h"

namespace disk {

namespace {

const char* const BRANDING_PACKAGE = "branding";
const char* const WIRELESS_PATH = "/flash/vela/lib/wireless";
const char* const STORE_PATH = "/flash/vela/store";
const char* const OLD_STORE_PATH = "/flash/rw/store";

// The store of the old system: the current place, else where older systems kept it.
const char* oldStorePath() {
  struct stat st;
  if (stat(STORE_PATH, &st) == 0) return STORE_PATH;
  if (lstat(OLD_STORE_PATH, &st) == 0) return OLD_STORE_PATH;
  return nullptr;
}

}  // namespace

void saveOldConfiguration(InstallTarget& target, KeptConfiguration& kept) {
  kept.branding = snapshotTree(pkg::packageDirectory(BRANDING_PACKAGE) + "image");
  kept.wireless = snapshotTree(WIRELESS_PATH);
  const char* store = oldStorePath();
  if (!store) return;
  console::startProgress("Reading old configuration...");
  kept.store = snapshotTree(store);
  console::stopProgress();
  if (!kept.store) {
    printf("ERROR: couldn't keep config - probably not enough memory\n");
    fflush(stdout);
  }
  target.keptStates = pkg::readPackageStates();
}

bool restoreOldConfiguration(KeptConfiguration& kept) {
  if (kept.branding) {
    mkdir(pkg::packageDirectory(BRANDING_PACKAGE).c_str(), 0755);
    (void)restoreTree(std::move(kept.branding));
  }
  if (kept.wireless) {
    mkdir("/flash/vela", 0755);
    mkdir("/flash/vela/lib", 0755);
    (void)restoreTree(std::move(kept.wireless));
  }
  if (!kept.store) return true;
  console::startProgress("Writing back old configuration...");
  const bool restored = restoreTree(std::move(kept.store));
  console::stopProgress();
  if (!restored) {
    printf("ERROR: couldn't write old configuration - proboably not enough space on the disk\n");
    fflush(stdout);
  }
  return restored;
}

}  // namespace disk
