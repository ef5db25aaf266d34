#include <cstring>

#include "crypto/older_scheme.h"
#include "crypto/scalar25519.h"
#include "crypto/sign/sign.h"

namespace older {
using namespace cipher;
using namespace cipher::field;

namespace {

// Affine points with their v-coordinate, for the signer only: the verifier
// never needs v of anything but the key point.
struct Affine {
  Fe u, v;
  bool infinity;
};

Affine addPoints(const Affine& p, const Affine& q) {
  if (p.infinity) return q;
  if (q.infinity) return p;
  Fe lambda;
  if (equal(p.u, q.u)) {
    if (!equal(p.v, q.v) || isZero(p.v)) return {fromInt(0), fromInt(0), true};
    // tangent: (3u^2 + 2Au + 1) / 2v
    Fe u2 = sq(p.u);
    lambda = (mulSmall(u2, 3) + mulSmall(p.u, 2 * CURVE_A) + fromInt(1)) * invert(p.v + p.v);
  } else {
    lambda = (q.v - p.v) * invert(q.u - p.u);
  }
  Fe u = sq(lambda) - fromInt(CURVE_A) - p.u - q.u;
  Fe v = lambda * (p.u - u) - p.v;
  return {u, v, false};
}

Affine multiple(const uint8_t scalar[32], const Affine& p) {
  Affine r{fromInt(0), fromInt(0), true};
  for (int bit = 255; bit >= 0; --bit) {
    r = addPoints(r, r);
    if (scalar[bit / 8] >> (bit % 8) & 1) r = addPoints(r, p);
  }
  return r;
}

Affine basePoint() {
  Fe nine = fromInt(9);
  return {nine, evenV(nine), false};
}

bool randomScalar(uint8_t out[32]) {
  uint8_t wide[64];
  do {
    if (!randomBytes(wide, sizeof wide)) return false;
    scalar::reduce(out, wide, sizeof wide);
  } while (isZero(fromBytes(out)));  // zero has no inverse (and L < 2^253, so fromBytes is exact)
  return true;
}

}  // namespace

bool makePrivateKey(uint8_t privateKey[32]) {
  if (!randomScalar(privateKey)) return false;
  Affine p = multiple(privateKey, basePoint());
  if (isOdd(p.v)) {
    // -[x]G = (u, -v): the other scalar names the same u with the even v.
    static constexpr uint8_t kZero[32] = {};
    scalar::sub(privateKey, kZero, privateKey);
  }
  return true;
}

void publicKeyFromPrivate(uint8_t publicKey[32], const uint8_t privateKey[32]) {
  toBytes(publicKey, multiple(privateKey, basePoint()).u);
}

bool sign(uint8_t r[16], uint8_t s[32], const uint8_t digest20[20], const uint8_t privateKey[32]) {
  // k from the private key and the digest, as RFC 6979 does for DSA: as
  // unpredictable as a random k to anyone without the key, never reused for
  // two digests, and the same bytes for the same package.
  static constexpr char kDomain[] = "older-scheme nonce";
  uint8_t wide[64], k[32];
  SHA512 nonce;
  nonce.update(kDomain, sizeof kDomain).update(privateKey, 32).update(digest20, 20);
  nonce.final(wide);
  scalar::reduce(k, wide, sizeof wide);
  if (isZero(fromBytes(k))) return false;
  uint8_t uR[32], h[32];
  toBytes(uR, multiple(k, basePoint()).u);
  OlderHash hash;
  hash.update(uR, sizeof uR);
  hash.final(h);
  memcpy(r, h, CHECK_SIZE);

  uint8_t e[32], difference[32], inverse[32];
  challenge(e, digest20, r);
  static constexpr uint8_t kZero[32] = {};
  scalar::sub(difference, k, e);
  scalar::invert(inverse, privateKey);
  scalar::mulAdd(s, difference, inverse, kZero);
  return true;
}

}  // namespace older
