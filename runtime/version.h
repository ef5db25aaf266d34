// Packed version numbers: major, minor, kind letter and number in one
// unsigned 32-bit value, so that "newer" is a plain unsigned comparison.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vl {

using PackedVersion = uint32_t;

// Kind letters, stored in bits 15..8.
inline constexpr uint8_t VERSION_ALPHA = 'a';
inline constexpr uint8_t VERSION_BETA = 'b';
inline constexpr uint8_t VERSION_RC = 'c';
inline constexpr uint8_t VERSION_FINAL = 'f';
// Bit 7 of the number marks a "test" build.
inline constexpr uint8_t VERSION_TEST_BIT = 0x80;

constexpr PackedVersion packVersion(uint8_t major, uint8_t minor, uint8_t kind, uint8_t number) {
  return PackedVersion(major) << 24 | PackedVersion(minor) << 16 | PackedVersion(kind) << 8 | number;
}

// Text form used in every message ("6.41beta5", "6.40", "6.40.1"), at most 79 characters.
std::string version2string(PackedVersion version);

// Parses the text form; 0 (no version) for text it rejects.
PackedVersion parseVersion(std::string_view text);

}  // namespace vl
