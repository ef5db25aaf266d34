// On-disk layout of package files (".vpk", ".kpk"): an 8-byte file header,
// then typed parts back to back. All integers are little-endian. Written once
// here for the reader and for the tools that write packages.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pkg {

inline constexpr uint32_t PACKAGE_MAGIC = 0xBAD0F11E;
inline constexpr uint32_t OVERLAY_MAGIC = 0xA1100FFB;

// File header: magic, then the length of the rest of the file. Never hashed.
inline constexpr size_t FILE_HEADER_SIZE = 8;
inline constexpr size_t FILE_HEADER_MAGIC_OFFSET = 0;
inline constexpr size_t FILE_HEADER_LENGTH_OFFSET = 4;

// Part header: type, then payload length.
inline constexpr size_t PART_HEADER_SIZE = 6;
inline constexpr size_t PART_HEADER_TYPE_OFFSET = 0;
inline constexpr size_t PART_HEADER_LENGTH_OFFSET = 2;

enum PartType : uint16_t {
  PART_HEADER = 1,
  PART_TEXT_A = 2,         // description, shown by the selection menu
  PART_DEPENDS = 3,
  PART_FILES = 4,          // zlib stream of file entries
  PART_SIGNATURE = 9,
  PART_ARCHITECTURE = 16,  // absent: "i386"
  PART_CONFLICTS = 17,
  PART_BUNDLE_HEADER = 18,
  PART_PROVIDES = 19,
  PART_DISABLE_LIST = 20,
  PART_IMAGE_PAYLOAD = 21,
  PART_NOTE = 23,
  PART_TEXT_B = 24,
  PART_HASH_SWITCH = 25,   // from its header on, the digest is SHA-256
};

// Header payload of PART_HEADER and PART_BUNDLE_HEADER.
inline constexpr size_t NAME_SIZE = 16;
inline constexpr size_t HEADER_NAME_OFFSET = 0;
inline constexpr size_t HEADER_VERSION_OFFSET = 16;
inline constexpr size_t HEADER_BUILD_TIME_OFFSET = 20;
inline constexpr size_t HEADER_UNUSED_OFFSET = 24;  // 8 bytes, not read
inline constexpr size_t HEADER_BASE_SIZE = 32;
inline constexpr size_t HEADER_FLAGS_OFFSET = 32;   // read only when the payload is longer
inline constexpr size_t HEADER_FULL_SIZE = 36;

inline constexpr uint32_t FLAG_BOOT_IMAGE = 1;  // carries the boot image
inline constexpr uint32_t FLAG_NO_META = 2;     // no meta files are written for it

// Entry lists (depends, conflicts, provides, disable list): a 2-byte count,
// then 32-byte entries.
inline constexpr size_t ENTRY_COUNT_SIZE = 2;
inline constexpr size_t ENTRY_SIZE = 32;
inline constexpr size_t ENTRY_NAME_OFFSET = 0;
inline constexpr size_t ENTRY_MINIMUM_OFFSET = 16;
inline constexpr size_t ENTRY_UNUSED_OFFSET = 20;
inline constexpr size_t ENTRY_MAXIMUM_OFFSET = 24;
inline constexpr size_t ENTRY_PRIORITY_OFFSET = 28;

// File entries inside the zlib stream of PART_FILES.
inline constexpr size_t FILE_ENTRY_HEADER_SIZE = 30;
inline constexpr size_t FILE_ENTRY_MODE_OFFSET = 0;
inline constexpr size_t FILE_ENTRY_UNUSED_OFFSET = 2;  // 21 bytes, not read
inline constexpr size_t FILE_ENTRY_SKIP_OFFSET = 23;
inline constexpr size_t FILE_ENTRY_SIZE_OFFSET = 24;
inline constexpr size_t FILE_ENTRY_PATH_LENGTH_OFFSET = 28;
inline constexpr uint16_t FILE_TYPE_MASK = 0xF000;
inline constexpr uint16_t FILE_TYPE_REGULAR = 0x8000;

// Block sizes of the one-pass reader.
inline constexpr size_t SKIP_BLOCK_SIZE = 16384;
inline constexpr size_t IMAGE_SKIP_BLOCK_SIZE = 4096;  // so that a progress bar moves
inline constexpr size_t INFLATE_INPUT_BLOCK_SIZE = 4096;
inline constexpr size_t FILE_DATA_BLOCK_SIZE = 16384;

inline uint16_t loadLe16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t loadLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void storeLe16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void storeLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

}  // namespace pkg
