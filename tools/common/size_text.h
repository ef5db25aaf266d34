// Sizes on the tools' command lines: bytes, or a number with K, M, G or T
// (powers of 1024).
#pragma once

#include <cstdint>
#include <string>

namespace tools {

// False for anything else, zero, or a size beyond 64 bits.
[[nodiscard]] bool parseSize(const std::string& text, uint64_t& bytes);

// "20 MiB" style, rounded up to whole MiB.
std::string mebibytes(uint64_t bytes);

}  // namespace tools
