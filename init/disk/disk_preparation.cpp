#include "init/disk/disk_preparation.h"

#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "init/disk/ext2_formatter.h"
#include "init/disk/partition_table.h"
#include "init/console/progress.h"
#include "pkg/package_set.h"

namespace disk {

namespace {

enum class Layout { UNKNOWN, ONE_PARTITION, TWO_PARTITIONS };

bool mountWithBoot(const InstallTarget& target) {
  if (mkdir("/flash/boot", 0755) != 0 && errno != EEXIST) {
    umount("/flash");
    return false;
  }
  // The boot file system has no journal.
  if (mount(partitionPath(target, 1).c_str(), "/flash/boot", "ext2", 0, nullptr) == 0) return true;
  umount("/flash");
  return false;
}

bool mountAttempt(const InstallTarget& target, const char* fs, bool withBoot, Layout layout) {
  if (layout != Layout::ONE_PARTITION) {
    if (mount(partitionPath(target, 2).c_str(), "/flash", fs, 0, nullptr) == 0)
      return !withBoot || mountWithBoot(target);
    // On the new two-partition layout the boot partition must never stand in
    // for the data partition: the install would go onto 32 MiB.
    if (layout == Layout::TWO_PARTITIONS) return false;
  }
  return mount(partitionPath(target, 1).c_str(), "/flash", fs, 0, nullptr) == 0;
}

Layout layoutOf(const InstallTarget& target) {
  uint64_t bytes = 0;
  if (!diskBytes(target.disk->path, bytes)) return Layout::UNKNOWN;
  return hasTwoPartitions(bytes) ? Layout::TWO_PARTITIONS : Layout::ONE_PARTITION;
}

void say(const char* message) {
  printf("%s\n", message);
  fflush(stdout);
}

bool formatPartitions(const InstallTarget& target, Layout layout) {
  if (layout == Layout::TWO_PARTITIONS)
    return formatWithProgress(partitionPath(target, 2), "Formatting data partition") &&
           formatWithProgress(partitionPath(target, 1), "Formatting boot partition");
  return formatWithProgress(partitionPath(target, 1), "Formatting disk");
}

void createBaseDirectories() {
  const std::string database = pkg::DATABASE_DIRECTORY;
  for (const std::string& path : {std::string("/flash/rw"), std::string("/flash/vela"), std::string("/flash/vela/etc"),
                                  std::string("/flash/var"), database.substr(0, database.size() - 1)})
    if (mkdir(path.c_str(), 0755) != 0) perror(path.c_str() + 6);
}

}  // namespace

std::string partitionPath(const InstallTarget& target, int number) {
  std::string path = target.disk->path;
  // The kernel's own naming: a disk whose name ends in a digit (a loop
  // device, say) has its partitions after a "p".
  if (!path.empty() && path.back() >= '0' && path.back() <= '9') path += 'p';
  return path + char('0' + number);
}

bool mountTarget(const InstallTarget& target, bool withBoot) {
  const Layout layout = withBoot ? layoutOf(target) : Layout::UNKNOWN;
  return mountAttempt(target, "ext3", withBoot, layout) || mountAttempt(target, "ext2", withBoot, layout);
}

bool prepareDisk(InstallTarget& target, bool keepConfiguration) {
  KeptConfiguration kept;
  if (mountTarget(target, false)) {
    if (keepConfiguration) saveOldConfiguration(target, kept);
    umount("/flash/boot");
    umount("/flash");
  } else if (keepConfiguration) {
    say("WARNING: couldn't keep config - couldn't mount file system");
  }
  return prepareNewDisk(target, kept);
}

bool prepareNewDisk(const InstallTarget& target, KeptConfiguration& kept) {
  console::startProgress("Creating partition...");
  const bool partitioned = writePartitionTable(target.disk->path);
  console::stopProgress();
  // The layout follows the table just written, so that a failure on the data
  // partition is not taken for a one-partition disk.
  const Layout layout = partitioned ? layoutOf(target) : Layout::UNKNOWN;
  if (layout == Layout::UNKNOWN) {
    say("ERROR: could not create partitions");
    return false;
  }
  if (!formatPartitions(target, layout)) {
    say("ERROR: could not format partitions");
    return false;
  }
  if (!mountTarget(target, true)) {
    say("ERROR: could not mount filesystem");
    return false;
  }
  createBaseDirectories();
  return restoreOldConfiguration(kept);
}

}  // namespace disk
