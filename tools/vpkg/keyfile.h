// Key files of the package tool. The public key file is the 64 bytes the build
// takes as PACKAGE_KEYS: the Ed25519 public key, then the older scheme's
// u-coordinate. The private key file is the magic "QVPRIV1\n", the Ed25519
// seed and the older scheme's scalar.
#pragma once

#include <cstdint>
#include <string>

#include "crypto/signature.h"

namespace vpkg {

inline constexpr char PRIVATE_KEY_MAGIC[8] = {'Q', 'V', 'P', 'R', 'I', 'V', '1', '\n'};
inline constexpr size_t PRIVATE_KEY_FILE_SIZE = 8 + 32 + 32;

struct PrivateKey {
  uint8_t ed25519Seed[32];
  uint8_t olderScalar[32];
};

cipher::PackageKeys publicKeysOf(const PrivateKey& key);

// Both print "vpkg: <file>: <reason>" on failure.
[[nodiscard]] bool readPrivateKey(const std::string& path, PrivateKey& key);
[[nodiscard]] bool readPublicKeys(const std::string& path, cipher::PackageKeys& keys);

}  // namespace vpkg
