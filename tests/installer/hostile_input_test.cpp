// The installer against local files that a crash, a bad sector or a careless
// script left: each run ends (a FIFO, a device or a huge file is never read
// whole or waited on), nothing outside /flash changes, the other packages
// keep their files, and every refusal or forced removal is told.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <random>

#include "tests/installer/installer_root.h"
#include "tests/support/tree.h"

using qvtest::exists;
using qvtest::makeDirs;
using qvtest::package;
using qvtest::readFile;
using qvtest::SmallPackage;
using qvtest::TempDir;
using qvtest::write;
using qvtest::writeFile;
using Root = qvtest::InstallerRoot;

namespace {

constexpr uint32_t V1 = 0x06316600;  // 6.49

void fifo(const std::string& path) {
  std::filesystem::remove(path);
  ASSERT_EQ(mkfifo(path.c_str(), 0644), 0) << path;
}

void sparse(const std::string& path, off_t size) {
  writeFile(path, "");
  ASSERT_EQ(truncate(path.c_str(), size), 0) << path;
}

// system, app (needs system) and other, installed; a sentinel outside /flash.
void installBase(Root& root, const TempDir& scratch) {
  SmallPackage system = package("system", V1, {{"bin/sys", 0100755, false, "", "sys"}, {"lib/libsys", 0100644, false, "", "lib"}});
  SmallPackage app = package("app", V1, {{"bin/app", 0100755, false, "", "app"}, {"etc/app.conf", 0100644, false, "", "conf"}});
  app.depends = {{"system", 0x06286600, 0, 0}};  // 6.40 or newer
  SmallPackage other = package("other", V1, {{"bin/other", 0100755, false, "", "other"}});
  for (const SmallPackage* p : {&system, &app, &other}) {
    qvtest::ProcessResult r = root.run({"-"}, write(scratch, *p));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
  }
  writeFile(root / "outside/passwd", "root:x:0:0");
}

struct HostileCase {
  const char* name;
  std::function<void(Root&)> make;
  std::vector<std::string> args;
  int status;
  std::vector<std::string> messages;  // each somewhere in what the run printed
  std::vector<std::string> gone;      // paths the run removes (below the root)
  std::vector<std::string> left = {}; // paths the case made that stay
};

bool below(const std::string& line, const std::vector<std::string>& paths) {
  for (const std::string& p : paths)
    if (line.compare(0, p.size() + 2, "/" + p + " ") == 0 || line.compare(0, p.size() + 2, "/" + p + "/") == 0) return true;
  return false;
}

}  // namespace

TEST(HostileInput, EveryRunEndsAndNothingOutsideFlashChanges) {
  TempDir scratch;
  Root base;
  installBase(base, scratch);
  const std::string appFiles = "flash/var/pdb/app/files";
  const std::string appVersion = "flash/var/pdb/app/version";
  const std::string uninstallApp = "ram/pdb/app/schedule";
  const std::vector<std::string> appInstalled = {"flash/bin/app", "flash/etc/app.conf", "flash/var/pdb/app"};
  const HostileCase cases[] = {
      {"a version file of 1 GiB", [&](Root& r) { sparse(r / appVersion, off_t(1) << 30); }, {}, 0,
       {"WARNING: uninstalling app-0.0: its version is too large\n"}, appInstalled},
      {"a dependency list of 1 GiB", [&](Root& r) { sparse(r / "flash/var/pdb/app/deps", off_t(1) << 30); }, {}, 0,
       {"WARNING: uninstalling app-6.49: its deps is too large\n"}, appInstalled},
      {"a FIFO as a version file", [&](Root& r) { fifo(r / appVersion); }, {}, 0,
       {"WARNING: uninstalling app-0.0: its version is not a regular file\n"}, appInstalled},
      {"a FIFO as a version file, listed", [&](Root& r) { fifo(r / appVersion); }, {"--show"}, 0, {"system"}, {}, {appVersion}},
      {"a device that never ends as a files list",
       [&](Root& r) {
         std::filesystem::remove(r / appFiles);
         ASSERT_EQ(mknod((r / appFiles).c_str(), S_IFCHR | 0644, makedev(1, 5)), 0);  // like /dev/zero
       },
       {}, 0, {"WARNING: uninstalling app-6.49: its files is not a regular file\n"}, {"flash/var/pdb/app"}},
      {"a FIFO as a disabled file", [&](Root& r) { fifo(r / "flash/var/pdb/other/disabled"); }, {"--show"}, 0,
       {"           other X"}, {}, {"flash/var/pdb/other/disabled"}},
      {"a FIFO as a schedule", [&](Root& r) { makeDirs(r / "ram/pdb/app"); fifo(r / uninstallApp); }, {}, 0,
       {"WARNING: the schedule of app is ignored: its schedule is not a regular file\n"}, {}, {"ram/pdb"}},
      {"a FIFO as the device-mode record", [&](Root& r) { fifo(r / "ram/zelmode"); }, {"--show"}, 0, {"app"}, {}, {"ram/zelmode"}},
      {"a FIFO as the downgrade limit", [&](Root& r) { fifo(r / "ram/DOWNGRADE"); }, {}, 0,
       {"WARNING: /ram/DOWNGRADE: DOWNGRADE is not a regular file\n"}, {}, {"ram/DOWNGRADE"}},
      {"a FIFO among the upgrades", [&](Root& r) { fifo(r / "rw/pckg/.download/x.vpk"); }, {}, 0,
       {"ERROR: broken package x.vpk\n"}, {}},
      {"a FIFO as the post-install log",
       [&](Root& r) {
         fifo(r / "flash/postlog");
         writeFile(r / "rw/pckg/.download/n.vpk", write(TempDir(), package("n", V1, {{"bin/n", 0100644, false, "", "n"}})));
       },
       {}, 0, {"WARNING: the previous post-install log is dropped: postlog is not a regular file\n", "installed n-6.49\n"}, {}},
      {"random bytes as a version file: the package and what needs it go, and say why",
       [&](Root& r) {
         std::mt19937 rng(15);
         std::string junk(200, '\0');
         for (char& c : junk) c = char(rng());
         writeFile(r / "flash/var/pdb/system/version", junk);
       },
       {}, 0,
       {"WARNING: uninstalling app-6.49: it needs system, which cannot stay\n",
        "WARNING: uninstalling system-0.0: its version file is malformed\n"},
       {"flash/bin/app", "flash/etc/app.conf", "flash/var/pdb/app", "flash/bin/sys", "flash/lib/libsys", "flash/var/pdb/system"}},
      {"a symbolic link in /flash leading out",
       [&](Root& r) {
         ASSERT_EQ(symlink("/outside", (r / "flash/lnk").c_str()), 0);
         writeFile(r / appFiles, readFile(r / appFiles) + "flash/lnk/passwd\n");
         writeFile(r / uninstallApp, "uninstall\n");
       },
       {}, 1, {"/flash/lnk/passwd: not deleted: /flash/lnk is a symbolic link\n"}, appInstalled, {"flash/lnk", "ram/pdb"}},
      {"a parent component in a files list",
       [&](Root& r) {
         writeFile(r / appFiles, readFile(r / appFiles) + "flash/../outside/passwd\n");
         writeFile(r / uninstallApp, "uninstall\n");
       },
       {}, 0, {}, appInstalled, {"ram/pdb"}},
      {"a files list naming another package's file",
       [&](Root& r) {
         writeFile(r / appFiles, readFile(r / appFiles) + "flash/bin/other\nflash/bin/sys\n");
         writeFile(r / uninstallApp, "uninstall\n");
       },
       {}, 0, {}, appInstalled, {"ram/pdb"}},
      {"a manifest line cut at a NUL",
       [&](Root& r) { writeFile(r / "ram/MANIFEST", std::string("U /flash/bin/other\0.old\n", 24)); }, {"--commit"}, 1,
       {"ERROR: /ram/MANIFEST is refused, nothing was done: line 1 holds a NUL byte\n"}, {}, {"ram/MANIFEST"}},
      {"a manifest whose last line is cut short",
       [&](Root& r) { writeFile(r / "ram/MANIFEST", "U /flash/etc/app.conf\nU /flash/bin/oth"); }, {"--commit"}, 1,
       {"ERROR: /ram/MANIFEST is refused, nothing was done: line 2 is cut short\n"}, {}, {"ram/MANIFEST"}},
      {"a malformed manifest is not committed",
       [&](Root& r) { writeFile(r / "ram/MANIFEST", "U /flash/bin/other\nM /flash/bin/app\n"); }, {"--commit"}, 1,
       {"ERROR: /ram/MANIFEST is refused, nothing was done: line 2 has 2 fields, not 3\n"}, {}, {"ram/MANIFEST"}},
      {"a malformed manifest is not cancelled",
       [&](Root& r) { writeFile(r / "ram/MANIFEST", "U /flash/bin/other\nM /flash/bin/app\n"); }, {"--cancel"}, 1,
       {"ERROR: /ram/MANIFEST is refused, nothing was done: line 2 has 2 fields, not 3\n"}, {}, {"ram/MANIFEST"}},
      {"a FIFO as the manifest", [&](Root& r) { fifo(r / "ram/MANIFEST"); }, {"--commit"}, 1,
       {"ERROR: /ram/MANIFEST is refused, nothing was done: not a regular file\n"}, {}, {"ram/MANIFEST"}},
  };
  const std::string beside = base.path() + ".sentinel";
  writeFile(beside, "beside the root");
  for (const HostileCase& c : cases) {
    SCOPED_TRACE(c.name);
    Root root;
    std::filesystem::remove_all(root.path());
    std::filesystem::copy(base.path(), root.path(),
                          std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks);
    // (Taken before the case's own files: a listing reads what it hashes.)
    const auto before = root.tree();
    c.make(root);
    // Only a guard against a hang: a run that ends takes well under a second.
    root.wrapper = {"timeout", "-s", "KILL", "120"};
    qvtest::ProcessResult r = root.run(c.args);
    ASSERT_NE(r.status, 128 + 9) << "the run did not end";
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    for (const std::string& m : c.messages) EXPECT_NE((r.out + r.err).find(m), std::string::npos) << r.out << r.err;
    EXPECT_EQ(readFile(root / "outside/passwd"), "root:x:0:0");
    EXPECT_EQ(readFile(beside), "beside the root");
    // What the run removes, and nothing more: the other packages keep their
    // files. (Markers, the loader's trace and the upgrade directory aside.)
    const std::vector<std::string> aside = {"flash/PCKGS_CHANGED", "flash/ruel-ran", "rw/pckg/.download", "flash/bin/n",
                                            "flash/var/pdb/n"};
    std::vector<std::string> expected, after;
    for (const std::string& line : before)
      if (!below(line, c.gone) && !below(line, c.left) && !below(line, aside)) expected.push_back(line);
    for (const std::string& line : root.tree())
      if (!below(line, c.left) && !below(line, aside)) after.push_back(line);
    EXPECT_EQ(after, expected);
  }
  std::filesystem::remove(beside);
}
