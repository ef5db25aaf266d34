#include "crypto/signature.h"

#include "crypto/ed25519.h"
#include "crypto/older_scheme.h"

namespace cipher {

size_t signatureBlockSize(uint64_t remaining) {
  if (remaining >= SIGNATURE_BLOCK_FULL) return SIGNATURE_BLOCK_FULL;
  if (remaining >= SIGNATURE_BLOCK_OLDER) return SIGNATURE_BLOCK_OLDER;
  return 0;
}

int signatureLevel(const uint8_t digestArea[DIGEST_AREA_SIZE], const uint8_t* block, size_t blockSize,
                   const PackageKeys& keys) {
  if (blockSize != SIGNATURE_BLOCK_FULL && blockSize != SIGNATURE_BLOCK_OLDER) return SIGNATURE_NONE;
  if (blockSize == SIGNATURE_BLOCK_FULL) {
    asn1::blob key{keys.ed25519, keys.ed25519 + sizeof keys.ed25519};
    asn1::blob message{digestArea, digestArea + DIGEST_AREA_SIZE};
    asn1::blob signature{block + SIGNATURE_ED25519_OFFSET, block + SIGNATURE_BLOCK_FULL};
    if (eddsa::verify(key, message, signature)) return SIGNATURE_ED25519;
  }
  if (older::verify(digestArea, block + SIGNATURE_R_OFFSET, block + SIGNATURE_S_OFFSET, keys.older))
    return SIGNATURE_OLDER;
  return SIGNATURE_NONE;
}

}  // namespace cipher
