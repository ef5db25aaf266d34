// vpkg keygen PRIVATE-KEY-FILE PUBLIC-KEY-FILE
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "crypto/sign/sign.h"
#include "runtime/fileutil.h"
#include "tools/vpkg/commands.h"
#include "tools/vpkg/keyfile.h"

namespace vpkg {

static const char kKeygenHelp[] =
    "usage: vpkg keygen PRIVATE-KEY-FILE PUBLIC-KEY-FILE\n"
    "\n"
    "Makes a new signing key pair: an Ed25519 key and a key of the older\n"
    "Curve25519 scheme. The private key file signs packages (vpkg build --key);\n"
    "the 64-byte public key file is what the build takes as PACKAGE_KEYS and\n"
    "what vpkg verify --keys reads. Existing files are not overwritten.\n";

int keygenCommand(int argc, char** argv) {
  if (wantsHelp(argc, argv)) return printHelp(kKeygenHelp);
  if (argc != 2) return usageError(kKeygenHelp);
  const std::string privatePath = argv[0], publicPath = argv[1];
  for (const std::string& path : {privatePath, publicPath}) {
    if (vl::fileExists(path)) {
      fprintf(stderr, "vpkg: %s: file exists, not overwritten\n", path.c_str());
      return 1;
    }
  }
  PrivateKey key;
  if (!cipher::randomBytes(key.ed25519Seed, sizeof key.ed25519Seed) || !older::makePrivateKey(key.olderScalar)) {
    fprintf(stderr, "vpkg: no random numbers from the kernel\n");
    return 1;
  }
  cipher::PackageKeys keys = publicKeysOf(key);
  std::string privateBytes(PRIVATE_KEY_MAGIC, sizeof PRIVATE_KEY_MAGIC);
  privateBytes.append(reinterpret_cast<const char*>(&key), sizeof key);
  std::string publicBytes(reinterpret_cast<const char*>(&keys), sizeof keys);
  if (!vl::writeTextFile(privatePath, privateBytes)) {
    fprintf(stderr, "vpkg: %s: %s\n", privatePath.c_str(), strerror(errno));
    return 1;
  }
  if (!vl::writeTextFile(publicPath, publicBytes)) {
    fprintf(stderr, "vpkg: %s: %s\n", publicPath.c_str(), strerror(errno));
    return 1;
  }
  return 0;
}

}  // namespace vpkg
