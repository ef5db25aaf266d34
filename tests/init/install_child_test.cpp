// The install child, in throw-away roots with their own /flash.
#include "init/flow/install_child.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>

#include "tests/pkg/package_fixture.h"
#include "tests/support/sandbox.h"
#include "tests/support/tree.h"

using qvtest::readFile;
using qvtest::TempDir;

namespace {

std::string packageBytes(const TempDir& dir, const std::string& name) {
  qvtest::SmallPackage p;
  p.name = name;
  p.depends.clear();
  p.files = {{"bin/" + name, 0x8000 | 0755, false, "", name + " program\n"}};
  return qvtest::writeSmallPackage(dir / (name + ".vpk"), p);
}

// Streams bytes into a new install child in 4096-byte records; the child's
// raw wait status, or -2 when it did not start or a write failed.
int install(const std::string& bytes, bool image, bool quiet = false) {
  flow::InstallChild child;
  if (!child.start({}, image ? flow::ChildMode::IMAGE : flow::ChildMode::DIRECT, quiet)) return -2;
  for (size_t at = 0; at < bytes.size(); at += 4096) {
    const size_t n = std::min<size_t>(4096, bytes.size() - at);
    if (!child.send(bytes.data() + at, n)) return -2;
  }
  return child.finish();
}

}  // namespace

TEST(InstallChild, OneChildAtATime) {
  TempDir root;
  qvtest::makeDirs(root / "flash/var/pdb");
  EXPECT_TRUE(qvtest::runInRoot(root.path(), [] {
    flow::InstallChild first, second;
    EXPECT_TRUE(first.start({}, flow::ChildMode::IMAGE, true));
    EXPECT_FALSE(second.start({}, flow::ChildMode::IMAGE, true));  // the first child still runs
    EXPECT_TRUE(first.running());
    // A zero-byte stream: the child finds no package and exits normally.
    EXPECT_EQ(first.finish(), 0);
    EXPECT_EQ(first.finish(), -1);  // no child any more
    EXPECT_FALSE(first.running());
    EXPECT_TRUE(second.start({}, flow::ChildMode::IMAGE, true));  // now one may start
    // Gone out of scope, a child is finished and reaped: none is left behind.
    return true;
  }));
}

TEST(InstallChild, ImageModeInstallsIntoTheTarget) {
  TempDir root, packages;
  qvtest::makeDirs(root / "flash/var/pdb");
  const std::string good = packageBytes(packages, "ntp");
  std::string broken = packageBytes(packages, "dns");
  broken[broken.size() - 200] ^= 0x40;  // a flipped byte: the signature no longer holds
  EXPECT_TRUE(qvtest::runInRoot(root.path(), [&] {
    EXPECT_EQ(install(good, true), 0);
    EXPECT_EQ(readFile("/flash/bin/ntp"), "ntp program\n");
    EXPECT_TRUE(std::filesystem::is_directory("/flash/var/pdb/ntp"));
    EXPECT_FALSE(std::filesystem::exists("/flash/image"));  // not image-based: no image kept
    // A package the engine refuses leaves nothing, and the child still reads
    // the whole stream (a large tail never meets a broken pipe).
    const std::vector<std::string> before = qvtest::treeListing("/flash");
    EXPECT_EQ(install(broken + std::string(1 << 20, 'x'), true), 0);
    EXPECT_EQ(qvtest::treeListing("/flash"), before);
    return true;
  }));
}

TEST(InstallChild, DirectModeInstallsIntoTheRunningSystem) {
  TempDir root, packages;
  qvtest::makeDirs(root / "flash/var/pdb");
  qvtest::makeDirs(root / "ram");  // where init keeps new files before they are committed
  const std::string driver = packageBytes(packages, "drivers");
  EXPECT_TRUE(qvtest::runInRoot(root.path(), [&] {
    EXPECT_EQ(install(driver, false, true), 0);
    EXPECT_EQ(readFile("/bin/drivers"), "drivers program\n");
    return true;
  }));
}

// With descriptors 3 to 20 taken, the pipe's ends lie above 15: the child must
// still close its copy of the write end, or it would wait for input for ever.
TEST(InstallChild, ChildClosesEveryInheritedDescriptor) {
  TempDir root;
  qvtest::makeDirs(root / "flash/var/pdb");
  qvtest::writeFile(root / "null", "");
  EXPECT_TRUE(qvtest::runInRoot(root.path(), [] {
    for (int fd = 3; fd <= 20; ++fd)
      if (fcntl(fd, F_GETFD) < 0) open("/null", O_RDONLY);
    alarm(120);  // a child that never sees the end of its input would hang the test
    flow::InstallChild child;
    EXPECT_TRUE(child.start({}, flow::ChildMode::IMAGE, true));
    EXPECT_EQ(child.finish(), 0);
    alarm(0);
    return true;
  }));
}

// A child that gives up early still reads its whole input, so that the flow's
// writes never meet a broken pipe: here /flash cannot take the image.
TEST(InstallChild, EarlyExitStillReadsTheInput) {
  TempDir root;  // no /flash at all
  EXPECT_TRUE(qvtest::runInRoot(root.path(), [] {
    qvtest::redirectStdout("/out");
    EXPECT_EQ(install(std::string(1 << 20, 'x'), true), 0);
    EXPECT_EQ(readFile("/out"), "WARNING: could not open repo\nERROR: could not open image\n");
    return true;
  }));
}

// Each record reaches the pipe when it is written: a child that is gone
// fails the very record written after it, not a later close.
TEST(InstallChild, RecordFailsAtOnceWhenTheChildIsGone) {
  TempDir root;
  qvtest::makeDirs(root / "flash/var/pdb");
  EXPECT_TRUE(qvtest::runInRoot(root.path(), [] {
    signal(SIGPIPE, SIG_IGN);  // as init has it
    flow::InstallChild child;
    EXPECT_TRUE(child.start({}, flow::ChildMode::IMAGE, true));
    kill(child.pid(), SIGKILL);
    siginfo_t info;
    EXPECT_EQ(waitid(P_PID, id_t(child.pid()), &info, WEXITED | WNOWAIT), 0);  // gone, its input closed, not reaped
    EXPECT_FALSE(child.send("x", 1));
    EXPECT_EQ(errno, EPIPE);
    return true;
  }));
}
