// vdisk install, run as a program: a disk image that e2fsck and sfdisk find
// whole, the configuration kept from another image (which stays as it was),
// and refusals that leave no image behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/support/process.h"
#include "tests/support/sandbox.h"

using qvtest::ProcessResult;
using qvtest::readFile;
using qvtest::runProgram;
using qvtest::TempDir;
using qvtest::writeFile;

namespace {

const std::string kDevKey = QV_SOURCE_DIR "/keys/dev-private.key";
const std::string kDataOffset = std::to_string(65537 * 512);

ProcessResult own(const std::string& program, const std::vector<std::string>& arguments) {
  return runProgram(qvtest::ownProgram(program, arguments));
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::string package(const TempDir& dir, const std::string& name, const std::string& depends) {
  writeFile(dir / ("tree-" + name + "/etc/" + name + ".conf"), name + " settings\n");
  writeFile(dir / (name + ".manifest"), "name = " + name + "\nversion = 6.49.21\nbuild-time = 1700000000\nfiles = " +
                                            dir / ("tree-" + name) + "\n" + depends);
  EXPECT_EQ(own(QV_VPKG, {"build", dir / (name + ".manifest"), "-o", dir / (name + ".vpk"), "--key", kDevKey}).status, 0);
  return dir / (name + ".vpk");
}

std::string debugfs(const std::string& image, const std::string& command, bool write = false) {
  std::vector<std::string> argv = {"debugfs"};
  if (write) argv.push_back("-w");
  argv.insert(argv.end(), {"-R", command, image + "?offset=" + kDataOffset});
  return runProgram(argv).out;
}

std::string fsck(const std::string& image, const std::string& offset) {
  const ProcessResult r = runProgram({"e2fsck", "-fn", image + "?offset=" + offset});
  return std::to_string(r.status) + r.out;
}

class VdiskInstall : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "vdisk install mounts file systems: root only";
  }
};

}  // namespace

TEST_F(VdiskInstall, WritesAWholeSystemAndKeepsAnotherOnesConfiguration) {
  TempDir dir;
  // ppp after system whatever the order given: the engine's dependency order.
  const std::vector<std::string> packages = {package(dir, "ppp", "depends = system\n"), package(dir, "system", "")};
  writeFile(dir / "autorun.scr", "/ip address add 192.0.2.1/24\n");
  const std::string first = dir / "first.img";
  ProcessResult r = own(QV_VDISK, {"install", first, packages[0], packages[1], "--size", "200M", "--autorun",
                                   dir / "autorun.scr"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_LT(r.out.find("installing system-6.49.21"), r.out.find("installing ppp-6.49.21")) << r.out;
  EXPECT_NE(r.out.find("Not run on this host: the installed system's post-install programs"), std::string::npos);
  const std::string table = runProgram({"sfdisk", "--dump", first}).out;
  EXPECT_NE(table.find("first.img1 : start=           1, size=       65536, type=83, bootable"), std::string::npos)
      << table;
  EXPECT_NE(table.find("first.img2 : start=       65537, size=      344063, type=83"), std::string::npos) << table;
  for (const std::string& offset : {std::string("512"), kDataOffset})
    EXPECT_EQ(fsck(first, offset).substr(0, 1), "0") << fsck(first, offset);
  EXPECT_EQ(debugfs(first, "cat /etc/ppp.conf"), "ppp settings\n");
  EXPECT_EQ(debugfs(first, "cat /rw/autorun.scr"), "/ip address add 192.0.2.1/24\n");
  EXPECT_NE(debugfs(first, "stat /rw/REBOOT").find("Size: 0"), std::string::npos);

  // What the user changed on the first system: its store and a disabled package.
  writeFile(dir / "settings", "ip address add 192.0.2.1/24\n");
  writeFile(dir / "disabled", "user\n");
  debugfs(first, "mkdir /vela/store", true);
  debugfs(first, "write " + dir / "settings" + " /vela/store/settings", true);
  debugfs(first, "write " + dir / "disabled" + " /var/pdb/ppp/disabled", true);
  const std::string before = readFile(first);
  const std::string second = dir / "second.img";
  r = own(QV_VDISK, {"install", second, packages[0], packages[1], "--size", "200M", "--keep-from", first});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Writing back old configuration..."), std::string::npos) << r.out;
  EXPECT_EQ(debugfs(second, "cat /vela/store/settings"), "ip address add 192.0.2.1/24\n");
  EXPECT_NE(debugfs(second, "stat /var/pdb/ppp/disabled").find("Type: regular"), std::string::npos);
  EXPECT_EQ(debugfs(second, "cat /etc/system.conf"), "system settings\n");
  EXPECT_EQ(fsck(second, kDataOffset).substr(0, 1), "0") << fsck(second, kDataOffset);
  EXPECT_TRUE(readFile(first) == before) << "the kept image changed";
}

TEST_F(VdiskInstall, RefusalsLeaveNoImage) {
  TempDir dir;
  const std::string good = package(dir, "system", "");
  writeFile(dir / "junk.vpk", "not a package");
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    std::string message;
  } cases[] = {
      {"not a package", {dir / "junk.vpk"}, "vdisk: " + dir / "junk.vpk" + ": not a package the installer reads"},
      {"no old image", {good, "--keep-from", dir / "nosuch.img"}, "vdisk: " + dir / "nosuch.img" + ": No such file"},
      {"an old image without a system", {good, "--keep-from", dir / "junk.vpk"}, "no installed system to keep"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string image = dir / "disk.img";
    std::vector<std::string> args = {"install", image, "--size", "64M"};
    args.insert(args.end(), c.arguments.begin(), c.arguments.end());
    const ProcessResult r = own(QV_VDISK, args);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_FALSE(exists(image));
    EXPECT_FALSE(exists(image + ".partial"));
  }
}
