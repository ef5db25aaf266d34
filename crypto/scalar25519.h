// Integers modulo the prime order L = 2^252 + 27742317777372353535851937790883648493
// of the Ed25519 base point (and of the Curve25519 point u = 9).
// Encodings are 32 (or 64) little-endian bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cipher::scalar {

// out = in mod L, for an input of any length up to 64 bytes.
void reduce(uint8_t out[32], const uint8_t* in, size_t length);
// Whether s < L, the canonical range a signature's S must lie in.
bool isCanonical(const uint8_t s[32]);
// out = a * b + c mod L.
void mulAdd(uint8_t out[32], const uint8_t a[32], const uint8_t b[32], const uint8_t c[32]);
// out = a - b mod L.
void sub(uint8_t out[32], const uint8_t a[32], const uint8_t b[32]);
// out = a^(L-2) mod L, the inverse of a non-zero a.
void invert(uint8_t out[32], const uint8_t a[32]);

}  // namespace cipher::scalar
