// The boot record the installer writes: its own boot program (unless the old
// sector 0 carried a boot signature) and a fixed partition layout: a 32 MiB
// boot partition from sector 1 and a data partition from sector 65537 on
// disks of 128 MiB or more, one partition on smaller ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace disk {

inline constexpr uint64_t SECTOR_SIZE = 512;
inline constexpr uint64_t MAX_DISK_BYTES = 0x1FFFFFFFE00ull;        // 4,294,967,295 sectors
inline constexpr uint64_t TWO_PARTITION_BYTES = 128ull << 20;       // 128 MiB
inline constexpr uint32_t BOOT_PARTITION_SECTORS = 65536;           // 32 MiB
inline constexpr uint32_t DATA_PARTITION_START = 65537;

// Boot record layout.
inline constexpr size_t MBR_PROGRAM_AREA = 446;
inline constexpr size_t MBR_TABLE_OFFSET = 446;
inline constexpr size_t MBR_ENTRY_SIZE = 16;
inline constexpr size_t MBR_SIGNATURE_OFFSET = 510;
inline constexpr uint16_t MBR_SIGNATURE = 0xAA55;

extern const uint8_t bootProgram[];
extern const size_t bootProgramSize;

// The disk's sector count after the cap, and whether it gets two partitions.
uint64_t cappedSectors(uint64_t deviceBytes);
bool hasTwoPartitions(uint64_t deviceBytes);

// The byte size of a disk (block device) or disk image (regular file).
[[nodiscard]] bool diskBytes(int fd, uint64_t& bytes);
[[nodiscard]] bool diskBytes(const std::string& device, uint64_t& bytes);

// Whether the kernel's partitions of a disk, as its sysfs directory
// (/sys/dev/block/MAJOR:MINOR) lists them, are those of the table written for
// a disk of this size: checked when the kernel refuses to re-read the table,
// since formatting the partitions it still knows would write over the new ones.
bool kernelSeesTable(const std::string& sysDiskDir, uint64_t deviceBytes);

// Turns the old sector 0 into the new boot record for a disk of this size.
void buildBootRecord(uint8_t sector[512], uint64_t deviceBytes);

// Writes the boot record of a disk (or disk image) and has the kernel re-read
// its partitions. False, with the reason on standard error, when the disk
// cannot be read or written, its size cannot be had or is under two sectors,
// or its sectors are not 512 bytes; and when the kernel refuses to re-read the
// table while it still sees other partitions.
[[nodiscard]] bool writePartitionTable(const std::string& device);

}  // namespace disk
