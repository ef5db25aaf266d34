// The install child behind the pipe, in throw-away roots with their own /flash.
#include "init/flow/install_pipe.h"

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
// raw wait status, or -2 when the pipe did not open or a write failed.
int install(const std::string& bytes, bool image, bool quiet = false) {
  FILE* pipe = flow::openInstallPipe({}, image, quiet);
  if (!pipe) return -2;
  for (size_t at = 0; at < bytes.size(); at += 4096) {
    const size_t n = std::min<size_t>(4096, bytes.size() - at);
    if (fwrite(bytes.data() + at, n, 1, pipe) != 1) {
      flow::closeInstallPipe(pipe);
      return -2;
    }
  }
  return flow::closeInstallPipe(pipe);
}

}  // namespace

TEST(InstallPipe, OneChildAtATime) {
  TempDir root;
  qvtest::makeDirs(root / "flash/var/pdb");
  EXPECT_TRUE(qvtest::runInRoot(root.path(), [] {
    FILE* first = flow::openInstallPipe({}, true, true);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(flow::openInstallPipe({}, true, true), nullptr);  // the first child still runs
    EXPECT_NE(flow::installChildPid, -1);
    // A zero-byte stream: the child finds no package and exits normally.
    EXPECT_EQ(flow::closeInstallPipe(first), 0);
    EXPECT_EQ(flow::closeInstallPipe(first), -1);  // no child any more
    EXPECT_EQ(flow::installChildPid, -1);
    return true;
  }));
}

TEST(InstallPipe, ImageModeInstallsIntoTheTarget) {
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

TEST(InstallPipe, DirectModeInstallsIntoTheRunningSystem) {
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
TEST(InstallPipe, ChildClosesEveryInheritedDescriptor) {
  TempDir root;
  qvtest::makeDirs(root / "flash/var/pdb");
  qvtest::writeFile(root / "null", "");
  EXPECT_TRUE(qvtest::runInRoot(root.path(), [] {
    for (int fd = 3; fd <= 20; ++fd)
      if (fcntl(fd, F_GETFD) < 0) open("/null", O_RDONLY);
    alarm(120);  // a child that never sees the end of its input would hang the test
    FILE* pipe = flow::openInstallPipe({}, true, true);
    EXPECT_NE(pipe, nullptr);
    EXPECT_GT(fileno(pipe), 15);
    EXPECT_EQ(flow::closeInstallPipe(pipe), 0);
    alarm(0);
    return true;
  }));
}

// A child that gives up early still reads its whole input, so that the flow's
// writes never meet a broken pipe: here /flash cannot take the image.
TEST(InstallPipe, EarlyExitStillReadsTheInput) {
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
TEST(InstallPipe, RecordFailsAtOnceWhenTheChildIsGone) {
  TempDir root;
  qvtest::makeDirs(root / "flash/var/pdb");
  EXPECT_TRUE(qvtest::runInRoot(root.path(), [] {
    signal(SIGPIPE, SIG_IGN);  // as init has it
    FILE* pipe = flow::openInstallPipe({}, true, true);
    EXPECT_NE(pipe, nullptr);
    const pid_t child = flow::installChildPid;
    kill(child, SIGKILL);
    siginfo_t info;
    EXPECT_EQ(waitid(P_PID, id_t(child), &info, WEXITED | WNOWAIT), 0);  // gone, its pipe end closed, not reaped
    EXPECT_EQ(fwrite("x", 1, 1, pipe), 0u);
    EXPECT_EQ(errno, EPIPE);
    flow::closeInstallPipe(pipe);
    return true;
  }));
}
