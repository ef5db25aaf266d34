#include "init/flow/hdd_flow.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "init/console/package_menu.h"
#include "init/console/progress.h"
#include "init/console/terminal.h"
#include "init/disk/disk_preparation.h"
#include "init/disk/handoff.h"
#include "init/disk/partition_table.h"
#include "init/flow/install_child.h"
#include "init/flow/modules.h"
#include "runtime/system.h"

namespace flow {

namespace {

constexpr const char* kMedium = "/floppy";
constexpr const char* kAutorun = "/floppy/autorun.scr";
constexpr const char* kChooseMarker = "/floppy/CHOOSE";
constexpr const char* kVmMarker = "/floppy/VM";
constexpr const char* kBootRecord = "/floppy/mbr";
constexpr const char* kInstalledAutorun = "/flash/rw/autorun.scr";
constexpr const char* kX86_64Marker = "/flash/rw/ENABLE_X86_64";

bool canOpen(const char* path) {
  vl::Fd fd(open(path, O_RDONLY | O_CLOEXEC));
  return fd.valid();
}

// Nothing is written before the medium is unmounted: a mounted FAT file
// system carries a dirty flag in its boot sector until then.
bool failBeforeWriting(const char* message) {
  umount(kMedium);
  if (message) puts(message);
  return false;
}

bool readBootRecord(uint8_t sector[disk::SECTOR_SIZE]) {
  vl::Fd fd(open(kBootRecord, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return failBeforeWriting("\nFATAL ERROR: Couldn't open mbr file");
  if (vl::readFull(fd.get(), sector, disk::SECTOR_SIZE) != ssize_t(disk::SECTOR_SIZE))
    return failBeforeWriting("\nFATAL ERROR: Couldn't read mbr file");
  return true;
}

bool writeBootSector(const disk::InstallTarget& target, const uint8_t sector[disk::SECTOR_SIZE]) {
  vl::Fd fd(open(target.disk->path, O_WRONLY | O_CLOEXEC));
  if (!fd.valid()) {
    puts("\nFATAL ERROR: Couldn't open disk");
    return false;
  }
  if (!vl::writeAll(fd.get(), sector, disk::SECTOR_SIZE)) {
    puts("\nFATAL ERROR: Couldn't write to disk");
    return false;
  }
  return true;
}

}  // namespace

bool storeConfiguration(const FileBuffer& autorun, bool vm) {
  mkdir("/flash/rw", 0666);  // made by disk preparation already
  vl::Fd fd(open(kInstalledAutorun, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd.valid()) {
    puts("\nFATAL ERROR: couldn't make script");
    return false;
  }
  if (!autorun.data.empty() && !vl::writeAll(fd.get(), autorun.data.data(), autorun.data.size())) {
    puts("\nFATAL ERROR: Writing configuration failed");
    return false;
  }
  if (!fd.reset()) {
    puts("\nFATAL ERROR: Writing configuration failed");
    return false;
  }
  if (vm) vl::Fd(open(kX86_64Marker, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  return true;
}

bool readWholeFile(FileBuffer& buffer, const std::string& path) {
  buffer = FileBuffer();
  vl::Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (!fd.valid() || fstat(fd.get(), &st) != 0) return false;
  // Every package is held at once: a medium larger than the memory fails here.
  try {
    buffer.data.resize(size_t(st.st_size));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return vl::readFull(fd.get(), buffer.data.data(), buffer.data.size()) == ssize_t(buffer.data.size());
}

bool mountFatMedium(const char* device) { return mount(device, kMedium, "vfat", 0, nullptr) == 0; }

bool findMedium(disk::InstallTarget& target, const disk::HardDiskRow* table, const MediumMount& mountMedium) {
  console::startProgress("Looking for harddrives...");
  const unsigned start = console::ticks();
  while (console::ticks() - start <= 19) {
    for (const disk::HardDiskRow* row = table; row->path; ++row) {
      if (!mountMedium(row->path)) continue;
      struct stat st;
      if (stat(kAutorun, &st) == 0) {
        target.disk = row;
        console::stopProgress();
        return true;
      }
      umount(kMedium);
    }
    sleep(1);
  }
  console::stopProgress();
  return false;
}

bool runHardDiskInstall(disk::InstallTarget& target) {
  console::showBanner("hard disk installation");
  puts("");
  puts("Loading drivers");
  fflush(stdout);
  loadModuleList(StorageModules);
  loadModuleList(UsbModules);
  loadModuleList(FatModules);
  if (!findMedium(target)) {
    puts("\nFATAL ERROR: No hard disk found");
    return false;
  }
  const bool choose = canOpen(kChooseMarker), vm = canOpen(kVmMarker);

  console::PackageMenu menu;
  if (!console::loadOfferedPackages(menu, kMedium)) return failBeforeWriting(nullptr);
  if (choose) {
    if (!console::runPackageMenu(menu)) return failBeforeWriting("Installation canceled");
  } else {
    for (console::OfferedPackage& item : menu.items) item.selected = true;
  }
  std::vector<console::OfferedPackage*> order;
  console::orderSelectedPackages(menu, order);

  // No fixed limit: as many buffers as the order has packages.
  std::vector<FileBuffer> packages(order.size());
  for (size_t i = 0; i < order.size(); ++i) {
    printf("Reading: %s...", pkg::nameVersion(order[i]->record).c_str());
    console::startProgress("");
    const bool read = readWholeFile(packages[i], order[i]->record.path);
    console::stopProgress();
    if (!read) {
      printf("\nFATAL ERROR: could not read file %s\n", order[i]->record.path.c_str());
      return failBeforeWriting(nullptr);
    }
  }
  FileBuffer autorun;
  if (!readWholeFile(autorun, kAutorun)) return failBeforeWriting("\nFATAL ERROR: could not read configuration");
  // The unattended medium brings the new disk's boot record. With a marker it
  // brings none, and sector 0 of the medium is the FAT boot sector, whose
  // code cannot boot a partitioned disk: the built-in boot program goes there.
  uint8_t sector[disk::SECTOR_SIZE] = {};
  if (!choose && !vm) {
    if (!readBootRecord(sector)) return false;
  } else {
    memcpy(sector, disk::bootProgram, disk::bootProgramSize);
  }
  umount(kMedium);

  if (!writeBootSector(target, sector)) return false;
  puts("");
  if (!disk::prepareDisk(target, false)) return false;
  puts("");
  const bool installed = installPackages(
      target.keptStates, packages.size(),
      [&](size_t i) -> std::unique_ptr<pkg::ByteSource> {
        return std::make_unique<pkg::MemorySource>(packages[i].data.data(), packages[i].data.size());
      },
      {"\nFATAL ERROR: Couldn't start install", ""},
      [&](size_t i) { packages[i] = FileBuffer(); });  // freed as soon as installed
  if (!installed) return false;
  if (!storeConfiguration(autorun, vm)) return false;
  disk::finishInstall();
  puts("");
  puts("Software installed.");
  fflush(stdout);
  sleep(2);
  return true;
}

}  // namespace flow
