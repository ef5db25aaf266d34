#include "tools/vdisk/disk_install.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "init/disk/disk_preparation.h"
#include "init/disk/handoff.h"
#include "init/disk/kept_configuration.h"
#include "init/disk/partition_table.h"
#include "init/flow/hdd_flow.h"
#include "init/flow/install_child.h"
#include "pkg/medium.h"
#include "pkg/package_format.h"
#include "runtime/system.h"
#include "tools/vdisk/loop_device.h"

namespace vdisk {

namespace {

bool fail(const std::string& what) {
  fprintf(stderr, "vdisk: %s\n", what.c_str());
  return false;
}

bool failCall(const std::string& what) { return fail(what + ": " + strerror(errno)); }

// What the install needs, opened before the root changes.
struct Inputs {
  std::vector<vl::Fd> packages;  // in the order to install them
  flow::FileBuffer autorun;
  bool hasAutorun = false;
};

bool readInputs(const DiskInstallRequest& request, Inputs& inputs) {
  if (request.packages.empty()) return fail("an installation needs at least one package");
  std::vector<std::string> ordered;
  std::string bad;
  if (!pkg::installOrderOfFiles(request.packages, ordered, &bad)) return fail(bad + ": not a package the installer reads");
  for (const std::string& path : ordered) {
    inputs.packages.emplace_back(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!inputs.packages.back().valid()) return failCall(path);
  }
  if (!request.autorun.empty()) {
    if (!flow::readWholeFile(inputs.autorun, request.autorun)) return failCall(request.autorun);
    inputs.hasAutorun = true;
  }
  if (!request.keepFrom.empty() && access(request.keepFrom.c_str(), R_OK) != 0) return failCall(request.keepFrom);
  return true;
}

// A disk image's partition, as a block device inside the new root.
struct Partition {
  uint64_t offset = 0, size = 0;
  LoopDevice loop;
};

// The partitions the boot record's table lists, empty entries left out.
std::vector<std::pair<uint64_t, uint64_t>> tableOf(const uint8_t* sector) {
  std::vector<std::pair<uint64_t, uint64_t>> extents;
  for (size_t i = 0; i < 4; ++i) {
    const uint8_t* entry = sector + disk::MBR_TABLE_OFFSET + i * disk::MBR_ENTRY_SIZE;
    const uint64_t start = pkg::loadLe32(entry + 8), count = pkg::loadLe32(entry + 12);
    if (count) extents.push_back({start * disk::SECTOR_SIZE, count * disk::SECTOR_SIZE});
  }
  return extents;
}

// /dev/NAME1, /dev/NAME2: loop devices over the image's partitions, where
// the installer's code looks for the partitions of the disk /dev/NAME.
bool makePartitionDevices(const std::string& root, const std::string& name, const std::string& image, bool readOnly,
                          const std::vector<std::pair<uint64_t, uint64_t>>& table, std::vector<Partition>& partitions) {
  partitions = std::vector<Partition>(table.size());
  for (size_t i = 0; i < table.size(); ++i) {
    Partition& p = partitions[i];
    p.offset = table[i].first;
    p.size = table[i].second;
    if (!p.loop.attach(image, readOnly, p.offset, p.size)) return false;
    const std::string node = root + "/dev/" + name + char('1' + i);
    if (mknod(node.c_str(), S_IFBLK | 0600, p.loop.device()) != 0) return failCall(node);
  }
  return true;
}

// The old system's data file system (or its only one) on /flash, read-only:
// the old image stays as it was.
bool mountOldSystem(const disk::InstallTarget& old) {
  for (const char* fs : {"ext3", "ext2"})
    for (int partition : {2, 1})
      if (mount(disk::partitionPath(old, partition).c_str(), "/flash", fs, MS_RDONLY, nullptr) == 0) return true;
  return false;
}

// A root of its own for the installer's absolute paths (/flash, /ram, /dev),
// in memory, in a mount namespace that ends with this process. Its /dev holds
// only the new disk (the image file itself), its partitions and the old
// image's: nothing of the host's devices.
bool enterInstallRoot(const std::string& root, const std::string& image) {
  if (unshare(CLONE_NEWNS) != 0) return failCall("a private mount namespace");
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return failCall("a private mount namespace");
  if (mount("vdisk", root.c_str(), "tmpfs", 0, "mode=0755") != 0) return failCall("tmpfs on " + root);
  for (const char* d : {"/dev", "/proc", "/flash", "/ram", "/floppy", "/tmp"})
    if (mkdir((root + d).c_str(), 0755) != 0) return failCall(root + d);
  const std::string disk = root + "/dev/vdisk";
  vl::Fd(open(disk.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  if (mount(image.c_str(), disk.c_str(), nullptr, MS_BIND, nullptr) != 0) return failCall("bind " + image);
  if (mknod((root + "/dev/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0 ||
      mknod((root + "/dev/urandom").c_str(), S_IFCHR | 0666, makedev(1, 9)) != 0)
    return failCall("the devices of " + root);
  if (mount("proc", (root + "/proc").c_str(), "proc", 0, nullptr) != 0) return failCall("proc in " + root);
  return true;
}

// A file shorter than a sector has no table: no partitions, nothing to keep.
bool readOldTable(const std::string& image, std::vector<std::pair<uint64_t, uint64_t>>& table) {
  uint8_t sector[disk::SECTOR_SIZE] = {};
  vl::Fd fd(open(image.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid() || vl::readFull(fd.get(), sector, sizeof sector) < 0) return failCall(image);
  table = tableOf(sector);
  return true;
}

bool installInRoot(const DiskInstallRequest& request, Inputs& inputs, const std::string& partial,
                   const std::string& root) {
  if (!enterInstallRoot(root, partial)) return false;
  // The table the installer will write, for the partitions' loop devices.
  uint8_t sector[disk::SECTOR_SIZE] = {};
  disk::buildBootRecord(sector, request.size);
  std::vector<Partition> partitions, oldPartitions;
  if (!makePartitionDevices(root, "vdisk", partial, false, tableOf(sector), partitions)) return false;
  if (!request.keepFrom.empty()) {
    std::vector<std::pair<uint64_t, uint64_t>> oldTable;
    if (!readOldTable(request.keepFrom, oldTable) ||
        !makePartitionDevices(root, "old", request.keepFrom, true, oldTable, oldPartitions))
      return false;
  }
  if (chroot(root.c_str()) != 0 || chdir("/") != 0) return failCall("chroot " + root);

  const disk::HardDiskRow row = {"/dev/vdisk", "disk image"};
  disk::InstallTarget target;
  target.disk = &row;
  disk::KeptConfiguration kept;
  if (!request.keepFrom.empty()) {
    const disk::HardDiskRow oldRow = {"/dev/old", "old disk image"};
    const disk::InstallTarget oldTarget = {&oldRow, {}};
    if (!mountOldSystem(oldTarget)) return fail(request.keepFrom + ": no installed system to keep the configuration of");
    disk::saveOldConfiguration(target, kept);
    umount("/flash");
  }
  if (!disk::prepareNewDisk(target, kept)) return false;
  puts("");
  const bool installed = flow::installPackages(
      target.keptStates, inputs.packages.size(),
      [&](size_t i) { return flow::packageFileSource(std::move(inputs.packages[i])); },
      {"vdisk: no install child could be started", "vdisk: a package file could not be read"});
  if (!installed) return false;
  if (inputs.hasAutorun && !flow::storeConfiguration(inputs.autorun, false)) return false;
  disk::leaveRebootMarker();
  puts("");
  puts("Not run on this host: the installed system's post-install programs (/etc/rc.d/rc.postinstall or");
  puts("/bin/ruel), which an installation from a medium runs before its reboot.");
  disk::releaseTarget();
  return true;
}

}  // namespace

bool installDiskImage(const DiskInstallRequest& request) {
  if (geteuid() != 0) return fail("install mounts the new file systems (in a private mount namespace): run it as root");
  Inputs inputs;
  if (!readInputs(request, inputs)) return false;
  const std::string partial = request.image + ".partial";
  {
    vl::Fd out(open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!out.valid() || ftruncate(out.get(), off_t(request.size)) != 0) return failCall(partial);
  }
  const char* tmp = getenv("TMPDIR");
  std::string root = std::string(tmp && *tmp ? tmp : "/tmp") + "/vdisk-root.XXXXXX";
  if (!mkdtemp(root.data())) {
    unlink(partial.c_str());
    return failCall("a directory for the new system's root");
  }
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const bool ok = installInRoot(request, inputs, partial, root);
    fflush(nullptr);
    _exit(ok ? 0 : 1);
  }
  const int status = pid > 0 ? vl::waitChild(pid) : -1;
  rmdir(root.c_str());
  if (status != 0 || rename(partial.c_str(), request.image.c_str()) != 0) {
    unlink(partial.c_str());
    return status == 0 ? failCall(request.image) : false;
  }
  printf("vdisk: %s is ready\n", request.image.c_str());
  return true;
}

}  // namespace vdisk
