#include <cstring>

#include "crypto/edwards25519.h"
#include "crypto/hash.h"
#include "crypto/scalar25519.h"
#include "crypto/sign/sign.h"

namespace eddsa {
using namespace cipher;

namespace {

struct Expanded {
  uint8_t a[32];       // the clamped secret scalar
  uint8_t prefix[32];  // the second half of SHA-512(seed)
};

Expanded expand(const uint8_t seed[32]) {
  uint8_t h[64];
  SHA512 hash;
  hash.update(seed, 32);
  hash.final(h);
  Expanded x;
  memcpy(x.a, h, 32);
  memcpy(x.prefix, h + 32, 32);
  x.a[0] &= 248;
  x.a[31] &= 127;
  x.a[31] |= 64;
  return x;
}

void baseMultiple(uint8_t out[32], const uint8_t scalar[32]) {
  static constexpr uint8_t kZero[32] = {};
  edwards::encode(out, edwards::doubleScalarMult(kZero, edwards::identity(), scalar));
}

}  // namespace

void publicKeyFromSeed(uint8_t publicKey[32], const uint8_t seed[32]) { baseMultiple(publicKey, expand(seed).a); }

void sign(uint8_t signature[64], const uint8_t seed[32], const uint8_t* message, size_t length) {
  Expanded x = expand(seed);
  uint8_t publicKey[32];
  baseMultiple(publicKey, x.a);

  uint8_t h[64], r[32];
  SHA512 hash;
  hash.update(x.prefix, 32).update(message, length);
  hash.final(h);
  scalar::reduce(r, h, sizeof h);
  baseMultiple(signature, r);  // R

  hash.update(signature, 32).update(publicKey, 32).update(message, length);
  hash.final(h);
  uint8_t k[32];
  scalar::reduce(k, h, sizeof h);
  scalar::mulAdd(signature + 32, k, x.a, r);  // S = r + k a mod L
}

}  // namespace eddsa
