#include "pkg/package_set.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/pkg/package_fixture.h"
#include "tests/pkg/records.h"
#include "tests/support/sandbox.h"

using namespace pkg;
using qvtest::CapturedSet;
using qvtest::makeDirs;
using qvtest::readFile;
using qvtest::TempDir;
using qvtest::writeFile;

namespace {

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

}  // namespace

struct StateCase {
  const char* name;
  std::string package;
  std::vector<std::pair<std::string, std::string>> files;  // below the root
  bool disabled, userForced;
  PackageAction action;
  bool isBundle;
  std::string bundle;
};

// loadState of a package directory without an image (the legacy form).
TEST(PackageSet, LoadStateTable) {
  const std::string meta = "/flash/var/pdb/p/";
  const auto version = std::make_pair("flash/var/pdb/p/version", "103900672 5\n");
  const auto files = std::make_pair("flash/var/pdb/p/files", "flash/bin/p\n");
  const StateCase cases[] = {
      {"enabled", "p", {version, files}, false, false, ACTION_NONE, false, ""},
      {"disabled auto", "p", {version, files, {"flash/var/pdb/p/disabled", "auto\n"}}, true, false, ACTION_NONE, false, ""},
      {"disabled user", "p", {version, files, {"flash/var/pdb/p/disabled", "user\n"}}, true, true, ACTION_NONE, false, ""},
      {"disabled anything else", "p", {version, files, {"flash/var/pdb/p/disabled", "x\n"}}, true, true, ACTION_NONE, false, ""},
      {"both files: disabled", "p",
       {version, files, {"flash/var/pdb/p/disabled", "auto\n"}, {"flash/var/pdb/p/enabled", "user\n"}}, true, false,
       ACTION_NONE, false, ""},
      {"enabled by the user", "p", {version, files, {"flash/var/pdb/p/enabled", "user\n"}}, false, true, ACTION_NONE, false, ""},
      {"legacy member of a bundle: uninstalled", "p", {version, files, {"flash/var/pdb/p/bundle", "suite\n"}}, false, false,
       ACTION_UNINSTALL, false, "suite"},
      {"no files list: a bundle", "p", {version}, false, false, ACTION_NONE, true, ""},
      {"unreadable version", "p", {{"flash/var/pdb/p/version", "x y\n"}, files}, false, false, ACTION_UNINSTALL, false, ""},
      {"no version file", "p", {files}, false, false, ACTION_UNINSTALL, false, ""},
      {"dependency list cut short", "p", {version, files, {"flash/var/pdb/p/deps", "base 0\n"}}, false, false,
       ACTION_UNINSTALL, false, ""},
      {"schedule uninstall", "p", {version, files, {"ram/pdb/p/schedule", "uninstall\n"}}, false, false, ACTION_UNINSTALL, false, ""},
      {"schedule enable", "p", {version, files, {"ram/pdb/p/schedule", "enable"}}, false, true, ACTION_ENABLE, false, ""},
      {"schedule disable", "p", {version, files, {"ram/pdb/p/schedule", "disable\n"}}, false, true, ACTION_DISABLE, false, ""},
      {"schedule of something else", "p", {version, files, {"ram/pdb/p/schedule", "remove\n"}}, false, false, ACTION_NONE, false, ""},
      {"schedule key drops other characters", "my_pkg.1",
       {{"flash/var/pdb/my_pkg.1/version", "1 1\n"}, {"flash/var/pdb/my_pkg.1/files", ""}, {"ram/pdb/mypkg1/schedule", "disable\n"}},
       false, true, ACTION_DISABLE, false, ""},
      {"a placeholder's schedule is not read", "p",
       {{"flash/var/pdb/p/version", "4294967295 4294967295\n"}, files, {"ram/pdb/p/schedule", "uninstall\n"}}, false, false,
       ACTION_NONE, false, ""},
  };
  for (const StateCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir root;
    makeDirs(root / "flash/var/pdb");
    for (const auto& [path, content] : c.files) writeFile(root / path, content);
    EXPECT_TRUE(qvtest::runInRoot(root.path(), [&] {
      CapturedSet s;
      PackageRecord r;
      r.name = c.package;
      s.set.loadState(r);
      EXPECT_EQ(r.disabled, c.disabled);
      EXPECT_EQ(r.userForced, c.userForced);
      EXPECT_EQ(r.action, c.action);
      EXPECT_EQ(r.isBundle, c.isBundle);
      EXPECT_EQ(r.bundle.name, c.bundle);
      return true;
    }));
  }
}

TEST(PackageSet, LegacyMetaFiles) {
  TempDir root;
  writeFile(root / "flash/var/pdb/p/version", "103900675 1700000000\n");
  writeFile(root / "flash/var/pdb/p/deps", "base 103284224 0\nlibc 0 0\n");
  writeFile(root / "flash/var/pdb/p/provides", "dns 0 0 -3\n");
  writeFile(root / "flash/var/pdb/p/conflicts", "old 0 103284224\n");
  writeFile(root / "flash/var/pdb/p/files", "flash/bin/p\n\n./etc/p.conf\n/usr/p\nlib/p.so\n");
  EXPECT_TRUE(qvtest::runInRoot(root.path(), [] {
    CapturedSet s;
    PackageRecord r;
    r.name = "p";
    s.set.loadState(r);
    EXPECT_EQ(r.version, 0x06316603u);
    EXPECT_EQ(r.buildTime, 1700000000u);
    EXPECT_EQ(r.depends, (std::vector<DependencyEntry>{{"base", 103284224, 0, 0}, {"libc", 0, 0, 0}}));
    EXPECT_EQ(r.provides, (std::vector<DependencyEntry>{{"dns", 0, 0, -3}}));
    EXPECT_EQ(r.conflicts, (std::vector<DependencyEntry>{{"old", 0, 103284224, 0}}));
    EXPECT_EQ(r.files, (std::set<std::string>{"/flash/bin/p", "/./etc/p.conf", "/usr/p", "/lib/p.so"}));
    EXPECT_EQ(r.action, ACTION_NONE);
    return true;
  }));
}

// The whole database: images (a package and a bundle with its members), the
// images directory, legacy directories, and a record read from an image
// never reading its meta files.
TEST(PackageSet, OpenRepository) {
  TempDir root;
  for (const char* dir : {"flash/var/pdb/app", "flash/var/pdb/suite", "rw/pckg/.images"}) makeDirs(root / dir);
  qvtest::SmallPackage app;
  app.name = "app";
  qvtest::writeSmallPackage(root / "flash/var/pdb/app/image", app);
  writeFile(root / "flash/var/pdb/app/version", "1 1\n");  // ignored: the image is the source
  writeFile(root / "flash/var/pdb/app/disabled", "user\n");
  {
    qvtest::SmallPackage m1, m2;
    m1.name = "m1";
    m2.name = "m2";
    std::string a = qvtest::writeSmallPackage(root / "m1.vpk", m1), b = qvtest::writeSmallPackage(root / "m2.vpk", m2);
    vpkg::PackageWriter w;
    ASSERT_TRUE(w.open(root / "flash/var/pdb/suite/image"));
    ASSERT_TRUE(w.part(PART_BUNDLE_HEADER, vpkg::headerPayload("suite", 0x06316600, 7, 0)));
    ASSERT_TRUE(w.raw(a.data() + 8, a.size() - 8));
    ASSERT_TRUE(w.raw(b.data() + 8, b.size() - 8));
    ASSERT_TRUE(w.close());
  }
  qvtest::SmallPackage extra;
  extra.name = "extra";
  qvtest::writeSmallPackage(root / "rw/pckg/.images/extra.vpk", extra);
  writeFile(root / "flash/var/pdb/legacy/version", "103900675 9\n");
  writeFile(root / "flash/var/pdb/legacy/files", "flash/bin/legacy\n");
  makeDirs(root / "flash/var/pdb/.hidden");
  writeFile(root / "flash/var/pdb/broken/image", "not a package");
  EXPECT_TRUE(qvtest::runInRoot(root.path(), [] {
    CapturedSet s;
    s.set.openRepository(false, "i386");
    std::vector<std::string> names;
    for (const auto& r : s.set.records) names.push_back(r->name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"app", "broken", "extra", "legacy", "m1", "m2", "suite"}));
    const PackageRecord* appRecord = s.set.find("app");
    EXPECT_EQ(appRecord->version, 0x06316603u);  // from the image, not from meta/version
    EXPECT_TRUE(appRecord->disabled);
    EXPECT_TRUE(appRecord->userForced);
    EXPECT_EQ(appRecord->path, "/flash/var/pdb/app/image");
    const PackageRecord* m2 = s.set.find("m2");
    EXPECT_EQ(m2->bundle, (DependencyEntry{"suite", 0x06316600, 0x06316600, 0}));
    EXPECT_LT(s.set.findIndex("m2"), s.set.findIndex("suite"));  // members come before their bundle
    EXPECT_TRUE(s.set.find("suite")->isBundle);
    EXPECT_EQ(s.set.find("extra")->path, "/rw/pckg/.images/extra.vpk");
    EXPECT_EQ(s.set.find("legacy")->files, (std::set<std::string>{"/flash/bin/legacy"}));
    EXPECT_EQ(s.set.find("broken")->version, 0u);  // a broken image still keeps its record
    EXPECT_EQ(s.output(), "");
    return true;
  }));
  TempDir empty;
  EXPECT_TRUE(qvtest::runInRoot(empty.path(), [] {
    CapturedSet s;
    s.set.openRepository(false, "i386");
    EXPECT_TRUE(s.set.records.empty());
    EXPECT_EQ(s.output(), "WARNING: could not open repo\n");
    return true;
  }));
}

TEST(PackageSet, WriteInstalledStateAndMarks) {
  TempDir root;
  makeDirs(root / "flash/var/pdb/p");
  makeDirs(root / "ram");
  writeFile(root / "flash/var/pdb/p/provides", "stale 0 0 1\n");
  writeFile(root / "flash/var/pdb/p/conflicts", "stale 0 0\n");
  writeFile(root / "flash/var/pdb/p/bundle", "stale\n");
  writeFile(root / "flash/var/pdb/p/enabled", "user\n");
  EXPECT_TRUE(qvtest::runInRoot(root.path(), [] {
    CapturedSet s;
    PackageRecord r;
    r.name = "p";
    r.version = 0x06316603;
    r.buildTime = 42;
    r.depends = {{"base", 0x06286600, 0, 0}};
    r.files = {"/flash/bin/p", "/flash/etc/p.conf"};
    r.disabled = true;
    Transaction t;
    EXPECT_TRUE(s.set.writeInstalledState(r, t, false));
    EXPECT_EQ(t.commit(), 0);
    EXPECT_EQ(readFile("/flash/var/pdb/p/version"), "103900675 42\n");
    EXPECT_EQ(readFile("/flash/var/pdb/p/deps"), "base 103310848 0\n");
    EXPECT_EQ(readFile("/flash/var/pdb/p/files"), "flash/bin/p\nflash/etc/p.conf\n");
    EXPECT_EQ(readFile("/flash/var/pdb/p/disabled"), "auto\n");
    // What the new version no longer has does not linger.
    EXPECT_FALSE(exists("/flash/var/pdb/p/provides"));
    EXPECT_FALSE(exists("/flash/var/pdb/p/conflicts"));
    EXPECT_FALSE(exists("/flash/var/pdb/p/bundle"));
    EXPECT_FALSE(exists("/flash/var/pdb/p/enabled"));

    // Provides with priorities, a bundle reference, user-forced enabled.
    r.provides = {{"dns", 0, 0, -3}};
    r.bundle = {"suite", 0, 0, 0};
    r.disabled = false;
    r.userForced = true;
    Transaction t2;
    EXPECT_TRUE(s.set.writeInstalledState(r, t2, false));
    EXPECT_EQ(t2.commit(), 0);
    EXPECT_EQ(readFile("/flash/var/pdb/p/provides"), "dns 0 0 -3\n");
    EXPECT_EQ(readFile("/flash/var/pdb/p/bundle"), "suite\n");
    EXPECT_EQ(readFile("/flash/var/pdb/p/enabled"), "user\n");
    EXPECT_FALSE(exists("/flash/var/pdb/p/disabled"));

    // Image-based packages get no meta files: the image is their source.
    // Header flag bit 1 on a package that keeps no image would leave no
    // source at all, so its meta files are written.
    for (bool imageBased : {true, false}) {
      PackageRecord q;
      q.name = imageBased ? "img" : "nometa";
      q.imageBased = imageBased;
      q.flags = imageBased ? 0 : FLAG_NO_META;
      Transaction t3;
      EXPECT_TRUE(s.set.writeInstalledState(q, t3, false));
      EXPECT_EQ(t3.commit(), 0);
      EXPECT_EQ(exists("/flash/var/pdb/" + q.name + "/version"), !imageBased);
    }

    // Marks.
    Transaction t4;
    r.userForced = false;
    s.set.markDisabled(r, t4);
    EXPECT_EQ(t4.commit(), 0);
    EXPECT_EQ(readFile("/flash/var/pdb/p/disabled"), "auto\n");
    EXPECT_FALSE(exists("/flash/var/pdb/p/enabled"));
    EXPECT_TRUE(r.disabled);
    Transaction t5;
    r.userForced = true;
    s.set.markEnabled(r, t5);
    EXPECT_EQ(t5.commit(), 0);
    EXPECT_FALSE(exists("/flash/var/pdb/p/disabled"));
    EXPECT_EQ(readFile("/flash/var/pdb/p/enabled"), "user\n");
    EXPECT_FALSE(r.disabled);
    return true;
  }));
}

// Every recorded form of a path reaches the installed file; nothing outside
// /flash is deleted, nor a file being put in place in the same transaction.
TEST(PackageSet, RemovePackageFiles) {
  TempDir root;
  for (const char* f : {"flash/bin/abs", "flash/bin/rel", "flash/bin/legacy", "flash/bin/new", "etc/outside",
                        "flash/var/pdb/p/version", "flash/bootimage"})
    writeFile(root / f, "x");
  makeDirs(root / "ram");
  EXPECT_TRUE(qvtest::runInRoot(root.path(), [] {
    CapturedSet s;
    PackageRecord r;
    r.name = "p";
    r.flags = FLAG_BOOT_IMAGE;
    r.path = "/flash/var/pdb/p/image";
    r.files = {"/flash/bin/abs", "/./bin/rel", "/bin/legacy", "/../etc/outside", "/flash/../etc/outside", "/flash/bin/new"};
    Transaction t;
    NewFile f = t.newFile("/flash/bin/new", 0, 0644);
    EXPECT_TRUE(f.write("new content") && f.close());
    s.set.removePackageFiles(r, t);
    EXPECT_TRUE(r.files.empty());
    EXPECT_EQ(t.commit(), 0);
    EXPECT_FALSE(exists("/flash/bin/abs"));
    EXPECT_FALSE(exists("/flash/bin/rel"));
    EXPECT_FALSE(exists("/flash/bin/legacy"));
    EXPECT_TRUE(exists("/etc/outside"));
    EXPECT_EQ(readFile("/flash/bin/new"), "new content");
    EXPECT_FALSE(exists("/flash/var/pdb/p"));
    EXPECT_FALSE(exists("/flash/bootimage"));  // flag bit 0, and a link count of 1
    return true;
  }));
}

// The console: status line redraws and messages around it, byte for byte.
TEST(PackageSet, ConsoleBytes) {
  const std::string hide = "\033[?25l\r", show = "\r\033[?25h";
  struct Case {
    const char* name;
    std::function<void(PackageSet&)> steps;
    std::string output;
    std::vector<std::string> log;
  } cases[] = {
      {"status", [](PackageSet& s) { s.status("installing"); }, hide + "installing" + show, {}},
      {"the same status again: nothing", [](PackageSet& s) { s.status("abc"); s.status("abc"); }, hide + "abc" + show, {}},
      {"a shorter status blanks the rest", [](PackageSet& s) { s.status("long text"); s.status("short"); },
       hide + "long text" + show + hide + "short    " + show, {}},
      {"error clears the status first", [](PackageSet& s) { s.status("abc"); s.error("bad %d", 7); },
       hide + "abc" + show + hide + "   " + show + "ERROR: bad 7\n", {"ERROR: bad 7"}},
      {"info clears it too", [](PackageSet& s) { s.status("ab"); s.info("done"); }, hide + "ab" + show + hide + "  " + show + "done\n", {"done"}},
      {"a warning keeps the status and redraws it", [](PackageSet& s) { s.status("ab"); s.warning("careful"); },
       hide + "ab" + show + "\r" + std::string(79, ' ') + "\r" + "WARNING: careful\n" + "ab", {"WARNING: careful"}},
      {"without a status", [](PackageSet& s) { s.warning("w"); s.info("i"); }, "WARNING: w\ni\n", {"WARNING: w", "i"}},
      {"quiet prints and logs nothing", [](PackageSet& s) { s.quiet = true; s.status("x"); s.error("e"); s.info("i"); }, "", {}},
      {"messages are cut to 255 characters", [](PackageSet& s) { s.info("%s", std::string(300, 'x').c_str()); },
       std::string(255, 'x') + "\n", {std::string(255, 'x')}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CapturedSet s;
    c.steps(s.set);
    EXPECT_EQ(s.output(), c.output);
    EXPECT_EQ(s.set.log, c.log);
  }
}

TEST(PackageSet, CreationErrorsAndDump) {
  CapturedSet s;
  PackageRecord r;
  r.name = "p";
  r.version = 0x06316603;
  struct Case {
    int error;
    const char* text;
  } cases[] = {
      {ENOSPC, "ERROR: installation of p-6.49.3 failed: disk is too small\n"},
      {EIO, "ERROR: installation of p-6.49.3 failed: disk error\n"},
      {EACCES, "ERROR: installation of p-6.49.3 failed: could not create bin/x: Permission denied\n"},
  };
  std::string expected;
  for (const Case& c : cases) {
    errno = c.error;
    s.set.creationError(r, "bin/x");
    expected += c.text;
  }
  r.bundle = {"suite", 0x06316600, 0x06316600, 0};
  errno = ENOSPC;
  s.set.creationError(r, "x");  // a member is named by its bundle
  expected += "ERROR: installation of suite-6.49 failed: disk is too small\n";
  EXPECT_EQ(s.output(), expected);

  CapturedSet d;
  PackageRecord& p = d.add({"p", "6.49.3", 1, {qvtest::entry("base", "6.40")}});
  p.disabled = p.userForced = true;
  p.files = {"/flash/bin/p"};
  d.set.dumpPackages();
  EXPECT_EQ(d.output(),
            "package <p> version=6.49.3\n   disabled\n   user-forced\n  deps=\n    <base> min=6.40 max=0.0\n"
            "  files=\n    /flash/bin/p\n\n");
}

// An upgrade of a package installed with absolute paths, whose new version
// drops a file: the old version's files are queued for deletion, the new ones
// replace them, and the dropped file is gone after the commit.
TEST(PackageSet, UpgradeRemovesFilesTheNewVersionDrops) {
  TempDir root;
  writeFile(root / "flash/bin/kept", "old kept");
  writeFile(root / "flash/bin/dropped", "old dropped");
  writeFile(root / "flash/var/pdb/p/version", "103900672 1\n");
  writeFile(root / "flash/var/pdb/p/files", "flash/bin/dropped\nflash/bin/kept\n");
  makeDirs(root / "ram");
  EXPECT_TRUE(qvtest::runInRoot(root.path(), [] {
    CapturedSet s;
    s.set.openRepository(false, "i386");
    PackageRecord* old = s.set.find("p");
    EXPECT_EQ(old->files, (std::set<std::string>{"/flash/bin/dropped", "/flash/bin/kept"}));
    Transaction t;
    s.set.removePackageFiles(*old, t);
    s.set.take(old);
    PackageRecord fresh;
    fresh.name = "p";
    fresh.version = 0x06316603;
    NewFile f = t.newFile("/flash/bin/kept", 8, 0755);
    EXPECT_TRUE(f.write("new kept") && f.close());
    fresh.files.insert("/flash/bin/kept");
    EXPECT_TRUE(t.directoryUsable(packageDirectory("p")));
    EXPECT_TRUE(s.set.writeInstalledState(fresh, t, false));
    EXPECT_EQ(t.commit(), 0);
    EXPECT_FALSE(exists("/flash/bin/dropped"));
    EXPECT_EQ(readFile("/flash/bin/kept"), "new kept");
    EXPECT_EQ(readFile("/flash/var/pdb/p/files"), "flash/bin/kept\n");
    return true;
  }));
}

// The states the user chose in an old database, kept across a reinstallation.
TEST(PackageSet, ReadPackageStates) {
  TempDir root;
  writeFile(root / "flash/var/pdb/on/enabled", "user\n");
  writeFile(root / "flash/var/pdb/both/enabled", "user\n");
  writeFile(root / "flash/var/pdb/both/disabled", "user\n");
  writeFile(root / "flash/var/pdb/off/disabled", "user\n");
  writeFile(root / "flash/var/pdb/useful/disabled", "userland\n");
  writeFile(root / "flash/var/pdb/auto/disabled", "auto\n");
  writeFile(root / "flash/var/pdb/empty/disabled", "");
  writeFile(root / "flash/var/pdb/plain/version", "1 1\n");
  writeFile(root / "flash/var/pdb/.hidden/enabled", "user\n");
  EXPECT_TRUE(qvtest::runInRoot(root.path(), [] {
    const pkg::PackageStates states = pkg::readPackageStates();
    EXPECT_EQ(states, (pkg::PackageStates{{"both", false}, {"off", true}, {"on", false}, {"useful", true}}));
    return true;
  }));
}
