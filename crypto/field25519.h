// Arithmetic modulo p = 2^255 - 19 in ten signed 32-bit limbs of alternately
// 26 and 25 bits (radix 2^25.5). Shared by Ed25519 and the older Curve25519
// scheme. Every operation leaves its result carried, so limbs stay below
// about 2^26 in magnitude and a product of any two results fits in 64 bits.
#pragma once

#include <cstdint>

namespace cipher::field {

struct Fe {
  int32_t limb[10];
};

Fe fromInt(int32_t value);
// 32 little-endian bytes. Bit 255 is ignored unless all256 is set, in which
// case it counts (2^255 = 19 modulo p).
Fe fromBytes(const uint8_t bytes[32], bool all256 = false);
// The canonical encoding: the value reduced into [0, p), little-endian.
void toBytes(uint8_t out[32], const Fe& f);

Fe add(const Fe& f, const Fe& g);
Fe sub(const Fe& f, const Fe& g);
Fe neg(const Fe& f);
Fe mul(const Fe& f, const Fe& g);
Fe sq(const Fe& f);
Fe mulSmall(const Fe& f, int32_t c);
Fe invert(const Fe& f);     // f^(p-2)
Fe pow22523(const Fe& f);   // f^((p-5)/8)

bool isZero(const Fe& f);
bool isOdd(const Fe& f);    // lowest bit of the canonical value
bool equal(const Fe& f, const Fe& g);

inline Fe operator+(const Fe& f, const Fe& g) { return add(f, g); }
inline Fe operator-(const Fe& f, const Fe& g) { return sub(f, g); }
inline Fe operator-(const Fe& f) { return neg(f); }
inline Fe operator*(const Fe& f, const Fe& g) { return mul(f, g); }

}  // namespace cipher::field
