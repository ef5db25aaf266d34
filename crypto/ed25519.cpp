#include "crypto/ed25519.h"

#include <cstring>

#include "crypto/edwards25519.h"
#include "crypto/hash.h"
#include "crypto/scalar25519.h"

namespace eddsa {

bool verify(asn1::blob publicKey, asn1::blob message, asn1::blob signature) {
  using namespace cipher;
  if (signature.size() != SIGNATURE_SIZE || publicKey.size() != PUBLIC_KEY_SIZE) return false;
  const uint8_t* rBytes = signature.begin;
  const uint8_t* sBytes = signature.begin + 32;
  // A non-canonical S would make signatures malleable: S and S + L verify alike.
  if (!scalar::isCanonical(sBytes)) return false;

  edwards::Point A, R;
  if (!edwards::decode(A, publicKey.begin)) return false;
  if (!edwards::decode(R, rBytes)) return false;

  uint8_t digest[64];
  SHA512 h;
  h.update(rBytes, 32).update(publicKey.begin, 32).update(message.begin, message.size());
  h.final(digest);
  uint8_t k[32];
  scalar::reduce(k, digest, sizeof digest);

  // [S]B - [k]A must be R. R decoded, so its bytes are the point's only
  // encoding and comparing encodings compares points.
  uint8_t check[32];
  edwards::encode(check, edwards::doubleScalarMult(k, edwards::negate(A), sBytes));
  return memcmp(check, rBytes, 32) == 0;
}

}  // namespace eddsa
