// The verification level of a package signature block: 2 for a valid Ed25519
// signature, 1 for a valid signature of the older scheme, 0 for none.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cipher {

inline constexpr size_t DIGEST_AREA_SIZE = 32;
inline constexpr size_t SIGNATURE_BLOCK_OLDER = 68;  // the older scheme alone
inline constexpr size_t SIGNATURE_BLOCK_FULL = 132;  // the older scheme, then Ed25519

// Layout of the signature block.
inline constexpr size_t SIGNATURE_R_OFFSET = 20;     // 16 bytes: r of the older scheme
inline constexpr size_t SIGNATURE_S_OFFSET = 36;     // 32 bytes: s of the older scheme
inline constexpr size_t SIGNATURE_ED25519_OFFSET = 68;  // 64 bytes: Ed25519 signature

enum SignatureLevel : int { SIGNATURE_NONE = 0, SIGNATURE_OLDER = 1, SIGNATURE_ED25519 = 2 };

struct PackageKeys {
  uint8_t ed25519[32];  // RFC 8032 encoding of the public point
  uint8_t older[32];    // Curve25519 u-coordinate, little-endian
};
static_assert(sizeof(PackageKeys) == 64);

// The two public keys built into the programs.
const PackageKeys& builtinPackageKeys();

// How many bytes of a signature part of the given remaining length form the
// block: 132 when there are that many, else 68, else 0 (unsigned).
size_t signatureBlockSize(uint64_t remaining);

// The level of a 68- or 132-byte block over the 32-byte digest area. The
// Ed25519 message is the whole digest area; the older scheme uses its first
// 20 bytes. A failing Ed25519 signature still falls back to the older scheme.
int signatureLevel(const uint8_t digestArea[DIGEST_AREA_SIZE], const uint8_t* block, size_t blockSize,
                   const PackageKeys& keys);

}  // namespace cipher
