// Runs cut short at the k-th change on disk, the way a crash leaves them
// (the engine's test seam ends the process with SIGKILL there): the next run
// brings every package to exactly its old or its new version, files, meta
// files and listing together, and leaves no temporary file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>

#include "pkg/install.h"
#include "tests/installer/installer_root.h"
#include "tests/support/tree.h"

using qvtest::bundleOf;
using qvtest::package;
using qvtest::readFile;
using qvtest::SmallPackage;
using qvtest::TempDir;
using qvtest::write;
using qvtest::writeFile;
using Root = qvtest::InstallerRoot;

namespace {

constexpr uint32_t V1 = 0x06316600, V2 = 0x06316601;  // 6.49 and 6.49.1

std::string randomBytes(std::mt19937& rng, size_t n) {
  std::string s(n, '\0');
  for (char& c : s) c = char(rng());
  return s;
}

// A system of a few hundred files of mixed sizes, and its next version with
// changed, dropped, added and renamed files.
void systemVersions(SmallPackage& v1, SmallPackage& v2) {
  std::mt19937 rng(1515);
  v1 = package("system", V1, {});
  v2 = package("system", V2, {});
  for (int i = 0; i < 240; ++i) {
    const int kind = int(rng() % 100);
    const size_t size = kind < 85 ? rng() % 3000 : kind < 97 ? 16384 + rng() % 65536 : (512 << 10) + rng() % (512 << 10);
    char name[32];
    snprintf(name, sizeof name, "%s/f%03d", i % 3 == 0 ? "lib" : i % 3 == 1 ? "bin" : "usr/share/data", i);
    vpkg::FileSpec f{name, 0100644, false, "", randomBytes(rng, size)};
    v1.files.push_back(f);
    if (i % 7 == 0) continue;  // dropped
    if (i % 11 == 0) f.path += ".renamed";
    else if (i % 3 == 0) f.bytes = randomBytes(rng, f.bytes.size() + 5);  // changed
    v2.files.push_back(f);
  }
  for (int i = 0; i < 20; ++i) v2.files.push_back({"etc/new/n" + std::to_string(i), 0100644, false, "", randomBytes(rng, rng() % 5000)});
}

// The root's state as the tests compare it: everything but the upgrade
// directory, /ram and the loader's trace.
std::vector<std::string> state(const Root& root) {
  std::vector<std::string> out;
  for (const std::string& line : root.tree())
    if (line.compare(0, 4, "/rw ") != 0 && line.compare(0, 4, "/rw/") != 0 && line.compare(0, 5, "/ram ") != 0 &&
        line.compare(0, 5, "/ram/") != 0 && line.compare(0, 16, "/flash/ruel-ran ") != 0)
      out.push_back(line);
  return out;
}

// What an interrupted run may leave and a later run must have removed.
std::vector<std::string> leftovers(const Root& root) {
  std::vector<std::string> found;
  for (const std::string& line : root.tree()) {
    const std::string path = line.substr(0, line.find(' '));
    const std::string name = path.substr(path.rfind('/') + 1);
    if (name == pkg::STAGING_NAME || name.compare(0, 11, ".qv-journal") == 0 || path == "/flash/image" ||
        path == "/flash/var/pdb/image" || (name.size() == 9 && name.compare(0, 3, "tmp") == 0))
      found.push_back(path);
  }
  return found;
}

void copyRoot(const Root& from, Root& to) {
  std::filesystem::remove_all(to.path());
  std::filesystem::copy(from.path(), to.path(),
                        std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks);
}

// The engine's own view: the database loads, nothing in it is broken.
void expectDatabaseLoads(const Root& root) {
  EXPECT_TRUE(qvtest::runInRoot(root.path(), [] {
    pkg::PackageSet set;
    set.quiet = true;
    set.openRepository(true, "i386");
    EXPECT_FALSE(set.records.empty());
    for (const auto& r : set.records) EXPECT_EQ(r->uninstallReason, "") << r->name;
    return true;
  }));
}

// "fault points: N, commit from M" from a run with QV_FAULT_COUNT set.
bool faultCounts(const std::string& err, long& total, long& commitFrom) {
  const size_t at = err.find("fault points: ");
  return at != std::string::npos && sscanf(err.c_str() + at, "fault points: %ld, commit from %ld", &total, &commitFrom) == 2;
}

// Kill points: a sweep over the whole run, and seeded ones inside its commit.
std::vector<long> killPoints(long total, long commitFrom, int spread, int inCommit) {
  std::vector<long> points;
  for (int i = 0; i < spread; ++i) points.push_back(1 + long(i) * (total - 1) / (spread - 1));
  std::mt19937 rng(15);
  for (int i = 0; i < inCommit; ++i) points.push_back(commitFrom + long(rng() % uint64_t(total - commitFrom + 1)));
  std::sort(points.begin(), points.end());
  points.erase(std::unique(points.begin(), points.end()), points.end());
  return points;
}

}  // namespace

#ifdef QV_FAULT_SEAM
constexpr bool kFaultSeam = true;
#else
constexpr bool kFaultSeam = false;
#endif

// An upgrade of a file-based system, a package that needs it and a
// file-based bundle, cut at many points of the run, its commit included.
TEST(InterruptedCommit, UpgradeEndsWholeInTheOldOrTheNewVersion) {
  if (!kFaultSeam || qvtest::kEmulated) GTEST_SKIP() << "needs the engine's crash seam (debug build)";
  TempDir scratch;
  SmallPackage system1, system2;
  systemVersions(system1, system2);
  SmallPackage app1 = package("app", V1, {{"bin/app", 0100755, false, "", "app 1"}, {"etc/app.conf", 0100644, false, "", "c"}});
  app1.depends = {{"system", V1, 0, 0}};
  SmallPackage app2 = app1;
  app2.version = V2;
  app2.files = {{"bin/app", 0100755, false, "", "app 2"}, {"etc/app.d/x", 0100644, false, "", "x"}};
  app2.depends = {{"system", V2, 0, 0}};
  SmallPackage m1 = package("m1", V1, {{"bin/m1", 0100644, false, "", "m1 v1"}});
  SmallPackage m2 = package("m2", V1, {{"bin/m2", 0100644, false, "", "m2"}});
  SmallPackage m1next = package("m1", V2, {{"bin/m1", 0100644, false, "", "m1 v2"}, {"lib/m1.so", 0100644, false, "", "so"}});
  SmallPackage m3 = package("m3", V2, {{"bin/m3", 0100644, false, "", "m3"}});

  Root base;
  for (const std::string& bytes : {write(scratch, system1), write(scratch, app1), bundleOf(scratch, "suite", V1, {m1, m2})}) {
    qvtest::ProcessResult r = base.run({"-"}, bytes);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
  }
  const auto oldState = state(base);
  const std::string oldListing = base.run({"--show"}).out;
  writeFile(base / "rw/pckg/.download/system.vpk", write(scratch, system2));
  writeFile(base / "rw/pckg/.download/app.vpk", write(scratch, app2));
  writeFile(base / "rw/pckg/.download/suite.vpk", bundleOf(scratch, "suite", V2, {m1next, m3}));

  // One whole run: the new state, and how many changes it makes.
  Root work;
  copyRoot(base, work);
  qvtest::ProcessResult whole = work.run({}, "", {"QV_FAULT_COUNT=1"});
  ASSERT_EQ(whole.status, 0) << whole.out << whole.err;
  long total = 0, commitFrom = 0;
  ASSERT_TRUE(faultCounts(whole.err, total, commitFrom)) << whole.err;
  ASSERT_GT(commitFrom, 1);
  const auto newState = state(work);
  const std::string newListing = work.run({"--show"}).out;
  ASSERT_NE(newState, oldState);
  EXPECT_NE(newListing.find("          system           6.49.1 "), std::string::npos) << newListing;

  int cut = 0, finishedOld = 0, finishedNew = 0;
  for (long k : killPoints(total, commitFrom, 40, 30)) {
    SCOPED_TRACE("cut at change " + std::to_string(k) + " of " + std::to_string(total));
    copyRoot(base, work);
    qvtest::ProcessResult killed = work.run({}, "", {"QV_FAULT_AT=" + std::to_string(k)});
    ASSERT_EQ(killed.status, 128 + SIGKILL) << killed.out << killed.err;
    ++cut;
    // Listing a state that is not on disk is refused while a commit is pending.
    qvtest::ProcessResult shown = work.run({"--show"});
    if (shown.status != 0) {
      EXPECT_EQ(shown.out, "an interrupted installation is pending: run installer to finish it\n");
    }
    // A run that changes nothing else (--cancel without a manifest) finishes or drops it.
    qvtest::ProcessResult recovered = work.run({"--cancel"});
    EXPECT_EQ(recovered.status, 0) << recovered.out << recovered.err;
    const auto after = state(work);
    const bool isOld = after == oldState, isNew = after == newState;
    EXPECT_TRUE(isOld || isNew) << "a mixture of the two versions";
    finishedOld += isOld;
    finishedNew += isNew;
    EXPECT_EQ(leftovers(work), std::vector<std::string>());
    EXPECT_EQ(work.run({"--show"}).out, isNew ? newListing : oldListing);
    if (shown.status == 0) {
      EXPECT_EQ(shown.out, isNew ? newListing : oldListing);
    }
    expectDatabaseLoads(work);
    // And the next ordinary run ends where an uninterrupted one does.
    qvtest::ProcessResult rerun = work.run({});
    EXPECT_EQ(rerun.status, 0) << rerun.out << rerun.err;
    EXPECT_EQ(state(work), newState);
    EXPECT_EQ(leftovers(work), std::vector<std::string>());
    if (::testing::Test::HasFailure()) break;  // one case is enough to see what went wrong
  }
  EXPECT_GE(cut, 50);
  // The sweep reaches both sides of the commit's point of no return.
  EXPECT_GT(finishedOld, 0);
  EXPECT_GT(finishedNew, 0);
}

// The install child's work, cut at many points: the next child finds its
// package whole or absent, and nothing temporary left.
TEST(InterruptedCommit, InstallChildLeavesThePackageWholeOrAbsent) {
  if (!kFaultSeam || qvtest::kEmulated) GTEST_SKIP() << "needs the engine's crash seam (debug build)";
  TempDir scratch;
  SmallPackage system, unused;
  systemVersions(system, unused);
  system.files.resize(60);
  system.image = std::string(50000, 'i');  // kept as its image too
  const std::string bytes = write(scratch, system);
  // Runs the child's work in the root with the seam set: whether it was cut.
  auto child = [&](const Root& root, long at, const std::string& input, long* total) {
    bool killed = false;
    EXPECT_TRUE(qvtest::runInRoot(root.path(), [&] {
      int err[2];
      if (pipe(err) != 0) return false;
      const pid_t pid = fork();
      if (pid == 0) {
        dup2(err[1], 2);
        setenv("QV_FAULT_COUNT", "1", 1);
        if (at > 0) setenv("QV_FAULT_AT", std::to_string(at).c_str(), 1);
        pkg::PackageSet set;
        set.quiet = true;
        pkg::MemorySource source(input.data(), input.size());
        (void)pkg::installImage(set, source, {});
        exit(0);  // reports the count
      }
      close(err[1]);
      const std::string text = qvtest::readToEndAndClose(err[0]);
      int status = 0;
      waitpid(pid, &status, 0);
      long from = 0;
      writeFile("/.result", WIFSIGNALED(status) ? "killed" : faultCounts(text, *total, from) ? std::to_string(*total) : "?");
      return true;
    }, qvtest::installerRoot()));
    const std::string result = readFile(root / ".result");
    std::filesystem::remove(root / ".result");
    killed = result == "killed";
    if (!killed && total) *total = atol(result.c_str());
    return killed;
  };
  Root empty;
  const auto absent = state(empty);
  Root whole;
  long total = 0;
  ASSERT_FALSE(child(whole, 0, bytes, &total));
  ASSERT_GT(total, 10);
  const auto present = state(whole);
  ASSERT_NE(present, absent);
  int cut = 0;
  for (long k : killPoints(total, 1, 25, 0)) {
    SCOPED_TRACE("cut at change " + std::to_string(k) + " of " + std::to_string(total));
    Root root;
    long ignored = 0;
    ASSERT_TRUE(child(root, k, bytes, &ignored));
    ++cut;
    // The next child: nothing to install, but it finishes what the last began.
    EXPECT_FALSE(child(root, 0, "", &ignored));
    const auto after = state(root);
    EXPECT_TRUE(after == absent || after == present) << "the package is neither whole nor absent";
    EXPECT_EQ(leftovers(root), std::vector<std::string>());
    if (::testing::Test::HasFailure()) break;
  }
  EXPECT_GE(cut, 20);
}
