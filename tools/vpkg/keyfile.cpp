#include "tools/vpkg/keyfile.h"

#include <cstdio>
#include <cstring>

#include "crypto/sign/sign.h"
#include "runtime/fileutil.h"

namespace vpkg {

cipher::PackageKeys publicKeysOf(const PrivateKey& key) {
  cipher::PackageKeys keys;
  eddsa::publicKeyFromSeed(keys.ed25519, key.ed25519Seed);
  older::publicKeyFromPrivate(keys.older, key.olderScalar);
  return keys;
}

bool readPrivateKey(const std::string& path, PrivateKey& key) {
  if (!vl::fileExists(path)) {
    fprintf(stderr, "vpkg: %s: no such file\n", path.c_str());
    return false;
  }
  std::string bytes = vl::readFileText(path);
  if (bytes.size() != PRIVATE_KEY_FILE_SIZE || memcmp(bytes.data(), PRIVATE_KEY_MAGIC, 8) != 0) {
    fprintf(stderr, "vpkg: %s: not a private key file\n", path.c_str());
    return false;
  }
  memcpy(key.ed25519Seed, bytes.data() + 8, 32);
  memcpy(key.olderScalar, bytes.data() + 40, 32);
  return true;
}

bool readPublicKeys(const std::string& path, cipher::PackageKeys& keys) {
  if (!vl::fileExists(path)) {
    fprintf(stderr, "vpkg: %s: no such file\n", path.c_str());
    return false;
  }
  std::string bytes = vl::readFileText(path);
  if (bytes.size() != sizeof keys) {
    fprintf(stderr, "vpkg: %s: a public key file holds exactly 64 bytes\n", path.c_str());
    return false;
  }
  memcpy(&keys, bytes.data(), sizeof keys);
  return true;
}

}  // namespace vpkg
