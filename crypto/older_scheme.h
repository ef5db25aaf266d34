// The older package signature scheme on Curve25519 (Montgomery form
// v^2 = u^3 + 486662 u^2 + u, base point u = 9), kept beside Ed25519 so that
// packages signed only with it still verify, at the lower level 1.
//
// A signature is (r, s): r a 16-byte check value, s a 32-byte scalar. For the
// digest D, e = clamp(H'(D[0..20)) with r XORed into bytes 8..23), and the
// signature holds when the first 16 bytes of H'(u([e]G + [s]P)) equal r.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/field25519.h"
#include "crypto/hash.h"

namespace older {

inline constexpr size_t CHECK_SIZE = 16;   // r
inline constexpr size_t SCALAR_SIZE = 32;  // s
inline constexpr uint32_t CURVE_A = 486662;

// H': the SHA-256 construction with this project's own initial words and
// round constants (see older_scheme.cpp for how they are derived).
class OlderHash final : public cipher::SHA256 {
 public:
  OlderHash();
};

// v for a given u: w = u^3 + A u^2 + u, v = w t (2 w t^2 - 1) with
// t = (2w)^((p-5)/8), negated if needed so that its canonical value is even.
// No check is made that v^2 = w: a u that is not on the curve gives some v.
cipher::field::Fe evenV(const cipher::field::Fe& u);

// u([e]G + [s]P) by the joint ladder; P = (u, evenV(u)).
cipher::field::Fe jointLadder(const uint8_t e[32], const uint8_t s[32], const cipher::field::Fe& keyU);

// The scalar e of a signature: H'(the digest's first 20 bytes), r XORed into
// bytes 8..23, clamped.
void challenge(uint8_t e[32], const uint8_t digest20[20], const uint8_t r[CHECK_SIZE]);

// Checks r and s over the first 20 bytes of the digest with the 32-byte
// little-endian u-coordinate of the public key.
bool verify(const uint8_t digest20[20], const uint8_t r[CHECK_SIZE], const uint8_t s[SCALAR_SIZE],
            const uint8_t publicKey[32]);

}  // namespace older
