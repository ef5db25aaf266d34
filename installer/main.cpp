// installer: the package manager of the installed system.
//
//   installer [-q] [-r ROOT] [-down] [--reinstall]   apply the scheduled actions, install the upgrades
//   installer [-q] [-r ROOT] -                       install one package from standard input
//   installer [-r ROOT] --show                       list the installed packages
//   installer [-r ROOT] --cleanup                    uninstall packages made for systems before 3.22
//   installer --commit | --cancel                    finish or drop the transaction in /ram/MANIFEST
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "installer/listing.h"
#include "pkg/install.h"
#include "pkg/planner.h"
#include "pkg/rules.h"
#include "runtime/system.h"

namespace {

constexpr const char* kManifest = "/ram/MANIFEST";
constexpr const char* kStdinImage = "/flash/var/pdb//image";
constexpr const char* kChanged = "/flash/PCKGS_CHANGED";
constexpr const char* kLock = "/ram/installer.lock";

int usage() {
  printf("usage: installer [-q] [-r <root>] [-]\n");
  return 0;
}

// Two runs at once would share the database, the upgrade directories and
// the kept image: the second waits for the first.
void lockRun() {
  int fd = open(kLock, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;  // no /ram: nothing to share it with
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    printf("waiting for another installer run to finish...\n");
    fflush(stdout);
    while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  // Held until the process ends.
}

// The files a saved transaction names stay when what interrupted runs left
// is removed: the manifest is another program's.
std::set<std::string> manifestFiles() {
  pkg::Transaction t;
  std::set<std::string> files;
  if (!t.loadManifest(kManifest)) return files;
  for (const auto& [destination, entry] : t.entries())
    if (entry.kind == pkg::ENTRY_MOVE) files.insert(entry.source);
  return files;
}

// Before anything changes: a commit that a crash cut short is finished, and
// what interrupted runs left is removed. Told through the engine's console
// (quiet runs say nothing, the post-install log keeps it).
void finishInterrupted(pkg::PackageSet& set) {
  switch (pkg::finishInterruptedCommit(manifestFiles())) {
    case pkg::InterruptedCommit::FINISHED: set.info("finished an interrupted installation"); break;
    case pkg::InterruptedCommit::FAILED: set.error("an interrupted installation could not be finished"); break;
    case pkg::InterruptedCommit::DROPPED: set.warning("a damaged installation journal was dropped"); break;
    case pkg::InterruptedCommit::NONE: break;
  }
}

// A manifest that is there but cannot be taken whole is refused: carrying
// out part of it could delete what another line was to replace.
bool loadWholeManifest(pkg::Transaction& t) {
  std::string why;
  if (t.loadManifest(kManifest, &why) || why.empty() || why == "missing") return true;
  printf("ERROR: %s is refused, nothing was done: %s\n", kManifest, why.c_str());
  return false;
}

int commitManifest() {
  lockRun();
  finishInterrupted(pkg::PackageSet::instance());
  pkg::Transaction t;
  if (!loadWholeManifest(t)) return 1;
  printf("finishing install... ");
  fflush(stdout);
  int failures = t.commit("", true);
  printf("\b \n");
  // Done once: a second --commit would repeat the deletions.
  if (failures == 0) unlink(kManifest);
  return failures == 0 ? 0 : 1;
}

int cancelManifest() {
  lockRun();
  finishInterrupted(pkg::PackageSet::instance());
  pkg::Transaction t;
  if (!loadWholeManifest(t)) return 1;
  t.cancel();
  unlink(kManifest);
  return 0;
}

void startRuel() { (void)vl::runChrooted("/flash", "/bin/ruel", {"ruel"}); }

bool createMarker(pkg::Transaction& t, const char* path) {
  pkg::NewFile f = t.newFile(path, 1, 0644);
  return f.close();
}

}  // namespace

int main(int argc, char** argv) {
  std::string root;
  bool quiet = false, fromStdin = false, cleanup = false, show = false, reinstall = false;
  unsigned allowed = pkg::CHECK_UPGRADE;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--cleanup") {
      cleanup = true;
      break;
    } else if (a == "-r") {
      if (i + 1 >= argc) return usage();
      root = argv[++i];
    } else if (a == "-") {
      fromStdin = true;
      break;
    } else if (a == "-q") {
      quiet = true;
    } else if (a == "-down") {
      allowed |= pkg::CHECK_DOWNGRADE;
    } else if (a == "--reinstall") {
      printf("\nResuming upgrade...\n");
      allowed |= pkg::CHECK_SAME;
      reinstall = true;
    } else if (a == "--commit") {
      return commitManifest();
    } else if (a == "--cancel") {
      return cancelManifest();
    } else if (a == "--show") {
      show = true;
    } else if (a == "--safe" || a == "-b" || a == "--force" || a == "--noupgrade" || a == "-i") {
      // accepted for compatibility, no effect
    } else {
      return usage();
    }
  }

  if (!root.empty() && chroot(root.c_str()) != 0) perror("chroot");
  if (chdir("/") != 0) perror("chdir");
  const char* arch = getenv("arch");
  pkg::PackageSet& set = pkg::PackageSet::instance();
  if (show && pkg::commitPending()) {
    // The database is half way between two states: listing it would show
    // neither. Any other run finishes the installation first.
    printf("an interrupted installation is pending: run installer to finish it\n");
    return 1;
  }
  if (!show) {
    lockRun();
    set.quiet = quiet;
    finishInterrupted(set);
  }
  set.openRepository(quiet, arch ? arch : "i386");

  if (show) {
    installer::printPackageList(set, stdout);
    return 0;
  }
  if (cleanup) {
    pkg::Transaction t;
    pkg::cleanup(set, t);
    return t.commit() == 0 ? 0 : 1;
  }

  pkg::Transaction t;
  const bool scheduled = pkg::apply(set, t, 1);
  // What was printed as done is not done when the transaction is then cancelled.
  auto cancelled = [&](bool changesReported) {
    if (scheduled || changesReported)
      set.warning("the changes were cancelled: nothing was enabled, disabled or uninstalled; "
                  "scheduled actions wait for the next run");
  };

  if (fromStdin) {
    int image = open(kStdinImage, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (image < 0) {
      printf("ERROR: could not open image\n");
      return -1;
    }
    pkg::FdSource input(0);
    pkg::FdSink tee(image);
    pkg::InstallOutcome outcome;
    int result = pkg::installFromStream(set, t, input, allowed, {}, &tee, &outcome);
    pkg::drain(input);
    close(image);
    if (result != 0) {
      // Nothing of a failed package may land, and the scheduled actions wait
      // for the next run (they are still in /ram/pdb).
      t.cancel();
      unlink(kStdinImage);
      cancelled(false);
    } else {
      pkg::keepImageCopy(t, kStdinImage, outcome);
      if (!createMarker(t, kChanged)) set.creationError(pkg::PackageRecord(), kChanged);
      if (t.commit() != 0) result = 1;
    }
    pkg::writeLog(set);
    return result;
  }

  pkg::UpgradeResult upgrade = pkg::upgrade(set, t, allowed);
  int result = 0;
  if (upgrade.cancelled) cancelled(false);
  if (!reinstall && !t.enoughSpace()) {
    set.error("not enough space for upgrade");
    t.cancel();
    cancelled(upgrade.changesReported);
    upgrade = pkg::UpgradeResult();
    result = 28;
  }
  for (const std::string& name : upgrade.installed) set.info("installed %s", name.c_str());
  bool committed = true;
  if (!t.isEmpty()) {
    if (!createMarker(t, kChanged)) set.creationError(pkg::PackageRecord(), kChanged);
    if (t.commit() != 0) {
      committed = false;
      result = 1;
    }
    startRuel();
  }
  if (committed)
    for (const std::string& file : upgrade.processed) unlink(file.c_str());
  pkg::writeLog(set);
  return result;
}
