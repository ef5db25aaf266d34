// Signing, for the tools that make packages. Not constant-time: meant for a
// build machine, not for a device an attacker can time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cipher {
// Fills the buffer from the kernel's random source; false if it cannot.
[[nodiscard]] bool randomBytes(uint8_t* out, size_t length);
}  // namespace cipher

namespace eddsa {
void publicKeyFromSeed(uint8_t publicKey[32], const uint8_t seed[32]);
// RFC 8032 section 5.1.6: deterministic, the same seed and message give the same signature.
void sign(uint8_t signature[64], const uint8_t seed[32], const uint8_t* message, size_t length);
}  // namespace eddsa

namespace older {
// A private scalar x, chosen so that [x]G has an even v, as the verifier
// assumes of the key point; the public key is u([x]G).
[[nodiscard]] bool makePrivateKey(uint8_t privateKey[32]);
void publicKeyFromPrivate(uint8_t publicKey[32], const uint8_t privateKey[32]);
// k derived from the key and the digest, R = [k]G, r = H'(u(R))[0..16), and
// s = (k - e) / x mod L, so that [e]G + [s]P = [k]G. Deterministic.
[[nodiscard]] bool sign(uint8_t r[16], uint8_t s[32], const uint8_t digest20[20], const uint8_t privateKey[32]);
}  // namespace older
