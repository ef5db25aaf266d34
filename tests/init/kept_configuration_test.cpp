#include "init/disk/kept_configuration.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "tests/support/sandbox.h"
#include "tests/support/tree.h"

using qvtest::makeDirs;
using qvtest::readFile;
using qvtest::TempDir;
using qvtest::writeFile;

namespace {

// Mounted noatime, so that listing the kept trees before and after leaves
// the access times the restore must bring back as they were.
bool freshFlash(const char* size) {
  umount2("/flash", MNT_DETACH);
  return mount("tmpfs", "/flash", "tmpfs", MS_NOATIME, size) == 0 &&
         mkdir("/flash/rw", 0755) == 0 && mkdir("/flash/vela", 0755) == 0 && mkdir("/flash/vela/etc", 0755) == 0 &&
         mkdir("/flash/var", 0755) == 0 && mkdir("/flash/var/pdb", 0755) == 0;
}

void oldBranding() {
  writeFile("/flash/var/pdb/branding/image", "logo");
  writeFile("/flash/vela/lib/wireless/regdb", "country=XX");
}

struct KeepCase {
  const char* name;
  std::function<void()> oldSystem;
  std::vector<std::string> kept;     // trees compared before and after
  std::vector<std::string> absent;   // paths that must not come back
  pkg::PackageStates states;
  std::string output;
};

}  // namespace

TEST(KeptConfiguration, SavedAndWrittenBack) {
  const std::string reading = "Reading old configuration...\n";
  const std::string writing = "Writing back old configuration...\n";
  const KeepCase cases[] = {
      {"both stores: only the current one is kept",
       [] {
         oldBranding();
         writeFile("/flash/vela/store/a/b/c.conf", "deep");
         writeFile("/flash/rw/store/old.conf", "older system");
         writeFile("/flash/var/pdb/dns/enabled", "");
         writeFile("/flash/var/pdb/ntp/disabled", "user\n");
       },
       {"/flash/vela/store", "/flash/var/pdb/branding", "/flash/vela/lib/wireless"},
       {"/flash/rw/store"},
       {{"dns", false}, {"ntp", true}},
       reading + writing},
      {"an older system's store",
       [] { writeFile("/flash/rw/store/old.conf", "older system"); },
       {"/flash/rw/store"},
       {"/flash/vela/store", "/flash/var/pdb/branding"},
       {},
       reading + writing},
      {"no store: branding and wireless only, no package states",
       [] {
         oldBranding();
         writeFile("/flash/var/pdb/dns/enabled", "");
       },
       {"/flash/var/pdb/branding", "/flash/vela/lib/wireless"},
       {"/flash/vela/store"},
       {},
       ""},
      {"a dangling link in the store: reported, the rest kept",
       [] {
         oldBranding();
         writeFile("/flash/vela/store/x", "x");
         symlink("/nowhere", "/flash/vela/store/gone");
         writeFile("/flash/var/pdb/dns/enabled", "");
       },
       {"/flash/var/pdb/branding", "/flash/vela/lib/wireless"},
       {"/flash/vela/store"},
       {{"dns", false}},
       reading + "ERROR: couldn't keep config - probably not enough memory\n"},
  };
  for (const KeepCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir root;
    makeDirs(root / "flash");
    EXPECT_TRUE(qvtest::runInRoot(root.path(), [&] {
      if (!freshFlash("size=8m")) return false;
      c.oldSystem();
      std::vector<std::vector<std::string>> before;
      for (const std::string& tree : c.kept) before.push_back(qvtest::detailedTreeListingWithAccessTimes(tree));
      qvtest::redirectStdout("/out.txt");
      disk::InstallTarget target;
      disk::KeptConfiguration kept;
      disk::saveOldConfiguration(target, kept);
      EXPECT_EQ(target.keptStates, c.states);
      if (!freshFlash("size=8m")) return false;
      EXPECT_TRUE(disk::restoreOldConfiguration(kept));
      for (size_t i = 0; i < c.kept.size(); ++i)
        EXPECT_EQ(qvtest::detailedTreeListingWithAccessTimes(c.kept[i]), before[i]) << c.kept[i];
      for (const std::string& path : c.absent) EXPECT_FALSE(std::filesystem::exists(path)) << path;
      return true;
    }));
    EXPECT_EQ(readFile(root / "out.txt"), c.output);
  }
}

// The store no longer fits on the new file system: the restore fails the
// preparation, with what was written so far left in place.
TEST(KeptConfiguration, StoreThatDoesNotFitFails) {
  TempDir root;
  makeDirs(root / "flash");
  EXPECT_TRUE(qvtest::runInRoot(root.path(), [] {
    if (!freshFlash("size=8m")) return false;
    writeFile("/flash/vela/store/small", "s");
    writeFile("/flash/vela/store/large", std::string(3 << 20, 'x'));
    qvtest::redirectStdout("/out.txt");
    disk::InstallTarget target;
    disk::KeptConfiguration kept;
    disk::saveOldConfiguration(target, kept);
    if (!freshFlash("size=1m")) return false;
    EXPECT_FALSE(disk::restoreOldConfiguration(kept));
    EXPECT_FALSE(kept.store);  // released on failure too
    EXPECT_TRUE(std::filesystem::is_directory("/flash/vela/store"));
    return true;
  }));
  EXPECT_EQ(readFile(root / "out.txt"),
            "Reading old configuration...\nWriting back old configuration...\n"
            "ERROR: couldn't write old configuration - proboably not enough space on the disk\n");
}
