#include "init/disk/disk_preparation.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <filesystem>
#include <sstream>
#include <memory>

#include "init/disk/handoff.h"
#include "init/disk/partition_table.h"
#include "tests/support/loop_device.h"
#include "tests/support/process.h"
#include "tests/support/sandbox.h"
#include "tests/support/tree.h"

using qvtest::makeDirs;
using qvtest::readFile;
using qvtest::runProgram;
using qvtest::TempDir;
using qvtest::writeFile;

namespace {

const disk::HardDiskRow kDisk = {"/dev/sdq", "test disk"};
const uint64_t kMiB = 1 << 20;
const uint64_t kDataOffset = uint64_t(disk::DATA_PARTITION_START) * 512;

// A disk image at /dev/sdq of a throw-away root; its partitions are loop
// devices at the table's fixed offsets, seen in the root as /dev/sdq1 and
// /dev/sdq2 (this host's kernel reads no partition tables of its own).
struct TestDisk {
  TempDir root;
  std::string image = root / "dev/sdq";
  std::unique_ptr<qvtest::LoopDevice> boot, data;

  TestDisk(uint64_t bytes, bool withPartitions = true) {
    makeDirs(root / "dev");
    makeDirs(root / "flash");
    writeFile(image, "");
    truncate(image.c_str(), off_t(bytes));
    if (!withPartitions) return;
    const bool two = disk::hasTwoPartitions(bytes);
    boot = std::make_unique<qvtest::LoopDevice>(image, 512, two ? 32 * kMiB : 0);
    if (two) data = std::make_unique<qvtest::LoopDevice>(image, kDataOffset);
  }

  qvtest::RootOptions options() const {
    qvtest::RootOptions o;
    o.beforeChroot = [this] {
      return bindPartition(boot.get(), "dev/sdq1") && bindPartition(data.get(), "dev/sdq2");
    };
    return o;
  }

  bool bindPartition(const qvtest::LoopDevice* loop, const std::string& name) const {
    if (!loop) return true;
    writeFile(root / name, "");
    return loop->ok() && mount(loop->path().c_str(), (root / name).c_str(), nullptr, MS_BIND, nullptr) == 0;
  }

  bool run(const std::function<bool()>& fn) const { return qvtest::runInRoot(root.path(), fn, options()); }
};

// Captured output without the percentage lines' many steps (and with any
// failure a child reported while its output was captured).
std::string shown(const std::string& text) {
  std::string out;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) out += line.substr(line.rfind('\r') + 1) + "\n";
  return out;
}

// Each piece appears after the one before it.
void expectInOrder(const std::string& text, const std::vector<std::string>& pieces) {
  size_t at = 0;
  for (const std::string& piece : pieces) {
    const size_t found = text.find(piece, at);
    EXPECT_NE(found, std::string::npos) << "\"" << piece << "\" missing or out of order in:\n" << shown(text);
    if (found == std::string::npos) return;
    at = found + piece.size();
  }
}

// Reading for the listing must not move the access times it compares.
void stopAccessTimes() {
  EXPECT_EQ(mount(nullptr, "/flash", nullptr, MS_REMOUNT | MS_NOATIME, nullptr), 0);
}

bool isMountPoint(const char* path) {
  struct stat here, parent;
  return stat(path, &here) == 0 && stat((std::string(path) + "/..").c_str(), &parent) == 0 &&
         here.st_dev != parent.st_dev;
}

void placeFile(const std::string& path, const std::string& content, mode_t mode, uid_t uid, time_t time) {
  writeFile(path, content);
  chmod(path.c_str(), mode);
  chown(path.c_str(), uid, uid + 1);
  struct utimbuf times = {time, time + 7};
  utime(path.c_str(), &times);
}

// What an installed system leaves that a reinstall may keep.
void placeOldSystem() {
  const std::string store = "/flash/vela/store";
  placeFile(store + "/interfaces/ether1/address", "192.0.2.1/24\n", 0600, 0, 1500000000);
  placeFile(store + "/scripts/run.sh", "#!/bin/sh\n", 0750, 1000, 1600000000);
  placeFile(store + "/users/admin", std::string(50000, 'u'), 0640, 1234, 1700000000);
  mkfifo((store + "/fifo").c_str(), 0600);
  chmod((store + "/interfaces").c_str(), 0711);
  chown((store + "/interfaces").c_str(), 55, 56);
  struct utimbuf dirTimes = {1400000000, 1400000001};
  utime((store + "/interfaces").c_str(), &dirTimes);
  placeFile("/flash/var/pdb/branding/image/logo.png", "PNG", 0644, 0, 1550000000);
  placeFile("/flash/vela/lib/wireless/regdb", "country=XX", 0644, 0, 1560000000);
  writeFile("/flash/var/pdb/routing/enabled", "");
  writeFile("/flash/var/pdb/dhcp/disabled", "user\n");
  writeFile("/flash/var/pdb/ppp/disabled", "auto\n");
}

const std::vector<std::string> kKeptTrees = {"/flash/vela/store", "/flash/var/pdb/branding", "/flash/vela/lib/wireless"};

std::string keptListing() {
  std::string text;
  for (const std::string& tree : kKeptTrees)
    for (const std::string& line : qvtest::detailedTreeListingWithAccessTimes(tree, {"/fifo"}))
      text += tree + line + "\n";
  return text;
}

// A partition's file system judged by e2fsprogs, read from the image at its offset.
std::string fsckComplaints(const std::string& image, uint64_t offset) {
  qvtest::ProcessResult check = runProgram({"e2fsck", "-fn", image + "?offset=" + std::to_string(offset)});
  std::string complaints;
  std::istringstream lines(check.out + check.err);
  for (std::string line; std::getline(lines, line);)
    if (line.find("Resize inode not valid") == std::string::npos && line.find("Recreate?") == std::string::npos &&
        line.find("Pass ") != 0 && line.find(" files (") == std::string::npos && line.find("e2fsck ") != 0 &&
        line.find("***") == std::string::npos && !line.empty() && line.find("Warning: skipping journal") != 0)
      complaints += line + "\n";
  return complaints;
}

}  // namespace

// A first install onto a blank disk, then a reinstall that keeps the
// configuration the first system gathered, then the hand-off.
TEST(DiskPreparation, ReinstallKeepsTheOldConfiguration) {
  TestDisk disk(160 * kMiB);
  ASSERT_TRUE(disk.boot->ok() && disk.data->ok());

  EXPECT_TRUE(disk.run([] {
    qvtest::redirectStdout("/first.txt");
    disk::InstallTarget target;
    target.disk = &kDisk;
    EXPECT_TRUE(disk::prepareDisk(target, true));
    EXPECT_TRUE(isMountPoint("/flash"));
    EXPECT_TRUE(isMountPoint("/flash/boot"));
    for (const char* dir : {"/flash/rw", "/flash/vela/etc", "/flash/var/pdb"})
      EXPECT_TRUE(std::filesystem::is_directory(dir)) << dir;
    EXPECT_TRUE(target.keptStates.empty());
    stopAccessTimes();
    placeOldSystem();
    writeFile("/kept.txt", keptListing());
    umount("/flash/boot");
    return umount("/flash") == 0;
  })) << shown(readFile(disk.root / "first.txt"));
  expectInOrder(readFile(disk.root / "first.txt"),
                {"WARNING: couldn't keep config - couldn't mount file system\n", "Creating partition...\n",
                 "\rFormatting data partition 0%", "\rFormatting data partition 100%\n",
                 "\rFormatting boot partition ", "\rFormatting boot partition 100%\n"});

  const bool canRunProbe = !qvtest::runsEmulated();
  const std::string ruel = readFile(QV_RUEL);
  EXPECT_TRUE(disk.run([&] {
    qvtest::redirectStdout("/second.txt");
    disk::InstallTarget target;
    target.disk = &kDisk;
    EXPECT_TRUE(disk::prepareDisk(target, true));
    stopAccessTimes();
    EXPECT_EQ(keptListing(), readFile("/kept.txt"));
    EXPECT_FALSE(std::filesystem::exists("/flash/vela/store/fifo"));
    EXPECT_EQ(target.keptStates, (pkg::PackageStates{{"dhcp", true}, {"routing", false}}));
    // Only the kept trees come back: the old package database does not.
    EXPECT_FALSE(std::filesystem::exists("/flash/var/pdb/routing"));
    if (canRunProbe) {
      writeFile("/flash/bin/ruel", ruel);
      chmod("/flash/bin/ruel", 0755);
    }
    writeFile("/console.log", "");
    writeFile("/dev/null", "");
    disk::logDevicePath = "/console.log";
    disk::finishInstall();
    EXPECT_FALSE(isMountPoint("/flash/boot"));
    EXPECT_FALSE(isMountPoint("/flash"));
    return true;
  })) << shown(readFile(disk.root / "second.txt"));
  expectInOrder(readFile(disk.root / "second.txt"),
                {"Reading old configuration...", "\n", "Creating partition...", "\n", "\rFormatting data partition 100%\n",
                 "\rFormatting boot partition 100%\n", "Writing back old configuration...", "\n"});
  EXPECT_EQ(readFile(disk.root / "second.txt").find("WARNING"), std::string::npos);

  // The result as the host's own tools see it in the image.
  EXPECT_EQ(fsckComplaints(disk.image, 512), "");
  EXPECT_EQ(fsckComplaints(disk.image, kDataOffset), "");
  const std::string dataFs = disk.image + "?offset=" + std::to_string(kDataOffset);
  EXPECT_EQ(runProgram({"debugfs", "-R", "stat /rw/REBOOT", dataFs}).out.find("Size: 0") != std::string::npos, true);
  if (canRunProbe) {
    EXPECT_EQ(runProgram({"debugfs", "-R", "cat /ruel-ran", dataFs}).out, "/bin/ruel\nruel\n");
    EXPECT_EQ(readFile(disk.root / "console.log"), "probe ran\n");
  }
}

struct PreparationCase {
  const char* name;
  uint64_t bytes;
  bool partitions;       // loop devices for the partitions
  bool keep;
  bool prepared;
  std::vector<std::string> output;
  std::vector<std::string> notShown;
  bool bootMounted;
};

TEST(DiskPreparation, LayoutsAndFailures) {
  const PreparationCase cases[] = {
      {"a small disk gets one partition", 64 * kMiB, true, false, true,
       {"Creating partition...\n", "\rFormatting disk 100%\n"}, {"data partition", "WARNING"}, false},
      {"a byte under 128 MiB is still small", 128 * kMiB - 512, true, true, true,
       {"WARNING: couldn't keep config - couldn't mount file system\n", "\rFormatting disk 100%\n"}, {"data partition"}, false},
      {"exactly 128 MiB gets two", 128 * kMiB, true, false, true,
       {"\rFormatting data partition 100%\n", "\rFormatting boot partition 100%\n"}, {"Formatting disk"}, true},
      {"no data partition on a large disk fails the preparation", 160 * kMiB, false, false, false,
       {"Creating partition...\n", "ERROR: could not format partitions\n"}, {"Formatting disk", "boot partition"}, false},
      {"a disk of less than two sectors is refused", 512, false, false, false,
       {"Creating partition...\n", "ERROR: could not create partitions\n"}, {"Formatting"}, false},
  };
  for (const PreparationCase& c : cases) {
    SCOPED_TRACE(c.name);
    TestDisk disk(c.bytes, c.partitions);
    EXPECT_TRUE(disk.run([&] {
      qvtest::redirectStdout("/out.txt");
      disk::InstallTarget target;
      target.disk = &kDisk;
      EXPECT_EQ(disk::prepareDisk(target, c.keep), c.prepared);
      EXPECT_EQ(isMountPoint("/flash"), c.prepared);
      EXPECT_EQ(isMountPoint("/flash/boot"), c.bootMounted);
      umount("/flash/boot");
      umount("/flash");
      return true;
    })) << shown(readFile(disk.root / "out.txt"));
    const std::string output = readFile(disk.root / "out.txt");
    expectInOrder(output, c.output);
    for (const std::string& absent : c.notShown) EXPECT_EQ(output.find(absent), std::string::npos) << absent;
  }
}
