// SHA-1 and SHA-256 block functions on the x86 SHA extensions, used when the
// processor has them. Internal to the hashes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cipher::x86 {

bool haveShaExtensions();
// For tests: run the portable code even where the extensions exist.
void setShaExtensionsAllowed(bool allowed);

void sha1Blocks(uint32_t state[5], const uint8_t* data, size_t blocks);
void sha256Blocks(uint32_t state[8], const uint32_t roundConstants[64], const uint8_t* data, size_t blocks);

}  // namespace cipher::x86
