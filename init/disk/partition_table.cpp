#include "init/disk/partition_table.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <utility>

#include "runtime/system.h"

namespace disk {
namespace {

void le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

struct Entry {
  uint8_t status;
  uint8_t firstChs[3];
  uint8_t type;
  uint8_t lastChs[3];
  uint32_t first;
  uint32_t count;
};

void putEntry(uint8_t* at, const Entry& e) {
  at[0] = e.status;
  memcpy(at + 1, e.firstChs, 3);
  at[4] = e.type;
  memcpy(at + 5, e.lastChs, 3);
  le32(at + 8, e.first);
  le32(at + 12, e.count);
}

// A number from a sysfs attribute file; false when it cannot be read.
bool readSysNumber(const std::filesystem::path& file, uint64_t& value) {
  std::ifstream in(file);
  return bool(in >> value);
}

}  // namespace

bool diskBytes(int fd, uint64_t& bytes) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  if (S_ISBLK(st.st_mode)) return ioctl(fd, BLKGETSIZE64, &bytes) == 0;
  bytes = uint64_t(st.st_size);
  return true;
}

bool diskBytes(const std::string& device, uint64_t& bytes) {
  int fd = open(device.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = diskBytes(fd, bytes);
  close(fd);
  return ok;
}

bool kernelSeesTable(const std::string& sysDiskDir, uint64_t deviceBytes) {
  // Partition number -> (first sector, sectors), in 512-byte units as sysfs gives them.
  std::map<uint64_t, std::pair<uint64_t, uint64_t>> wanted, seen;
  const uint64_t total = cappedSectors(deviceBytes);
  if (hasTwoPartitions(deviceBytes)) {
    wanted[1] = {1, BOOT_PARTITION_SECTORS};
    wanted[2] = {DATA_PARTITION_START, total - DATA_PARTITION_START};
  } else {
    wanted[1] = {1, total - 1};
  }
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(sysDiskDir, error)) {
    uint64_t number, start, size;
    if (!std::filesystem::exists(entry.path() / "partition")) continue;
    if (!readSysNumber(entry.path() / "partition", number) || !readSysNumber(entry.path() / "start", start) ||
        !readSysNumber(entry.path() / "size", size))
      return false;
    seen[number] = {start, size};
  }
  return !error && seen == wanted;
}

uint64_t cappedSectors(uint64_t deviceBytes) {
  return (deviceBytes > MAX_DISK_BYTES ? MAX_DISK_BYTES : deviceBytes) / SECTOR_SIZE;
}

bool hasTwoPartitions(uint64_t deviceBytes) { return deviceBytes >= TWO_PARTITION_BYTES; }

void buildBootRecord(uint8_t sector[512], uint64_t deviceBytes) {
  const uint16_t signature = uint16_t(sector[MBR_SIGNATURE_OFFSET] | sector[MBR_SIGNATURE_OFFSET + 1] << 8);
  if (signature != MBR_SIGNATURE) {
    memset(sector, 0, 512);
    memcpy(sector, bootProgram, bootProgramSize);
    sector[MBR_SIGNATURE_OFFSET] = 0x55;
    sector[MBR_SIGNATURE_OFFSET + 1] = 0xAA;
  }
  memset(sector + MBR_TABLE_OFFSET, 0, 4 * MBR_ENTRY_SIZE);
  const uint32_t total = uint32_t(cappedSectors(deviceBytes));
  const bool two = hasTwoPartitions(deviceBytes);
  putEntry(sector + MBR_TABLE_OFFSET,
           {0x80, {0x00, 0x02, 0x00}, 0x83, {0xF1, 0xFE, 0xFE}, 1, two ? BOOT_PARTITION_SECTORS : total - 1});
  if (two)
    putEntry(sector + MBR_TABLE_OFFSET + MBR_ENTRY_SIZE,
             {0x00, {0xF1, 0xFE, 0xFE}, 0x83, {0xF1, 0xFE, 0xFE}, DATA_PARTITION_START, total - DATA_PARTITION_START});
}

bool writePartitionTable(const std::string& device) {
  int fd = open(device.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    perror("could not open MBR");
    return false;
  }
  struct stat st;
  const bool blockDevice = fstat(fd, &st) == 0 && S_ISBLK(st.st_mode);
  uint64_t size = 0;
  int sectorSize = 512;
  const bool sized = diskBytes(fd, size);
  if (blockDevice && ioctl(fd, BLKSSZGET, &sectorSize) != 0) sectorSize = 512;
  // A failed size request or a disk of less than two sectors would give a
  // sector count that wraps; a disk of other sector sizes a wrong table.
  if (!sized) {
    perror("BLKGETSIZE64");
    close(fd);
    return false;
  }
  if (cappedSectors(size) < 2 || sectorSize != 512) {
    fprintf(stderr, "%s: %s\n", device.c_str(), sectorSize != 512 ? "sectors are not 512 bytes" : "disk too small");
    close(fd);
    return false;
  }
  uint8_t sector[512];
  if (vl::readFull(fd, sector, sizeof sector) != 512) {
    perror("could not read MBR");
    close(fd);
    return false;
  }
  buildBootRecord(sector, size);
  if (lseek(fd, 0, SEEK_SET) != 0 || !vl::writeAll(fd, sector, sizeof sector)) {
    perror("could not write MBR");
    close(fd);
    return false;
  }
  fsync(fd);
  bool seen = true;
  if (blockDevice && ioctl(fd, BLKRRPART) != 0) {
    perror("BLKRRPART");
    char sysDir[64];
    snprintf(sysDir, sizeof sysDir, "/sys/dev/block/%u:%u", major(st.st_rdev), minor(st.st_rdev));
    seen = kernelSeesTable(sysDir, size);
    if (!seen) fprintf(stderr, "%s: the kernel still uses the old partitions\n", device.c_str());
  }
  close(fd);
  return seen;
}

}  // namespace disk
