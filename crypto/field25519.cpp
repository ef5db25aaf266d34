#include "crypto/field25519.h"

#include <cstring>

namespace cipher::field {
namespace {

constexpr int kBits[10] = {26, 25, 26, 25, 26, 25, 26, 25, 26, 25};
constexpr int kOffset[10] = {0, 26, 51, 77, 102, 128, 153, 179, 204, 230};

// Floor carries through all limbs; the carry out of the top limb wraps
// around multiplied by 19 (2^255 = 19 modulo p).
Fe carry(int64_t t[10]) {
#pragma GCC unroll 10
  for (int i = 0; i < 10; ++i) {
    int64_t c = t[i] >> kBits[i];
    t[i] -= c * (int64_t(1) << kBits[i]);
    if (i < 9)
      t[i + 1] += c;
    else
      t[0] += 19 * c;
  }
  int64_t c = t[0] >> 26;
  t[0] -= c * (int64_t(1) << 26);
  t[1] += c;
  Fe h;
  for (int i = 0; i < 10; ++i) h.limb[i] = int32_t(t[i]);
  return h;
}

// Carries without the wrap-around, so that every limb but the top one ends
// in its range; returns the top limb's carry.
int64_t carryOpen(int64_t t[10]) {
  for (int i = 0; i < 9; ++i) {
    int64_t c = t[i] >> kBits[i];
    t[i] -= c * (int64_t(1) << kBits[i]);
    t[i + 1] += c;
  }
  int64_t c = t[9] >> 25;
  t[9] -= c * (int64_t(1) << 25);
  return c;
}

// Limbs of the value reduced into [0, p).
void canonical(const Fe& f, int64_t t[10]) {
  // 2p in limbs, added so that a slightly negative value becomes positive.
  static constexpr int64_t kTwoP[10] = {0x7ffffda, 0x3fffffe, 0x7fffffe, 0x3fffffe, 0x7fffffe,
                                        0x3fffffe, 0x7fffffe, 0x3fffffe, 0x7fffffe, 0x3fffffe};
  for (int i = 0; i < 10; ++i) t[i] = int64_t(f.limb[i]) + kTwoP[i];
  for (int pass = 0; pass < 2; ++pass) {
    int64_t top = carryOpen(t);
    t[0] += 19 * top;
  }
  carryOpen(t);
  // Now 0 <= value < 2^255; subtract p once if value + 19 reaches 2^255.
  int64_t q = (t[0] + 19) >> 26;
  for (int i = 1; i < 10; ++i) q = (t[i] + q) >> kBits[i];
  t[0] += 19 * q;
  carryOpen(t);  // the carry out of the top limb is the 2^255 being dropped
}

}  // namespace

Fe fromInt(int32_t value) {
  Fe h{};
  h.limb[0] = value;
  int64_t t[10];
  for (int i = 0; i < 10; ++i) t[i] = h.limb[i];
  return carry(t);
}

Fe fromBytes(const uint8_t bytes[32], bool all256) {
  int64_t t[10];
  for (int i = 0; i < 10; ++i) {
    int byte = kOffset[i] / 8, shift = kOffset[i] % 8;
    uint64_t window = 0;
    for (int k = 0; k < 5 && byte + k < 32; ++k) window |= uint64_t(bytes[byte + k]) << (8 * k);
    t[i] = int64_t((window >> shift) & ((uint64_t(1) << kBits[i]) - 1));
  }
  if (all256 && (bytes[31] & 0x80)) t[0] += 19;
  return carry(t);
}

void toBytes(uint8_t out[32], const Fe& f) {
  int64_t t[10];
  canonical(f, t);
  memset(out, 0, 32);
  for (int i = 0; i < 10; ++i) {
    uint64_t v = uint64_t(t[i]) << (kOffset[i] % 8);
    for (int k = kOffset[i] / 8; v != 0 && k < 32; ++k, v >>= 8) out[k] |= uint8_t(v);
  }
}

Fe add(const Fe& f, const Fe& g) {
  int64_t t[10];
  for (int i = 0; i < 10; ++i) t[i] = int64_t(f.limb[i]) + g.limb[i];
  return carry(t);
}

Fe sub(const Fe& f, const Fe& g) {
  int64_t t[10];
  for (int i = 0; i < 10; ++i) t[i] = int64_t(f.limb[i]) - g.limb[i];
  return carry(t);
}

Fe neg(const Fe& f) {
  int64_t t[10];
  for (int i = 0; i < 10; ++i) t[i] = -int64_t(f.limb[i]);
  return carry(t);
}

Fe mul(const Fe& f, const Fe& g) {
  // Limb i weighs 2^ceil(25.5 i): a product of two odd limbs lands one bit
  // above its slot and is doubled; slots from 10 on wrap around times 19.
  // Fully unrolled, every branch below is decided at compile time.
  int64_t g19[10], g2[10], g38[10];
#pragma GCC unroll 10
  for (int j = 0; j < 10; ++j) {
    g19[j] = 19 * int64_t(g.limb[j]);
    g2[j] = 2 * int64_t(g.limb[j]);
    g38[j] = 38 * int64_t(g.limb[j]);
  }
  int64_t t[10] = {};
#pragma GCC unroll 10
  for (int i = 0; i < 10; ++i) {
    const int64_t fi = f.limb[i];
#pragma GCC unroll 10
    for (int j = 0; j < 10; ++j) {
      const bool twice = (i & j & 1) != 0;
      if (i + j < 10)
        t[i + j] += fi * (twice ? g2[j] : int64_t(g.limb[j]));
      else
        t[i + j - 10] += fi * (twice ? g38[j] : g19[j]);
    }
  }
  return carry(t);
}

Fe sq(const Fe& f) {
  // The symmetric products f_i f_j and f_j f_i counted once, doubled.
  int64_t t[10] = {};
#pragma GCC unroll 10
  for (int i = 0; i < 10; ++i) {
    const int64_t fi = f.limb[i];
#pragma GCC unroll 10
    for (int j = i; j < 10; ++j) {
      int64_t p = fi * f.limb[j] * ((i & j & 1) ? 2 : 1) * (i == j ? 1 : 2);
      if (i + j < 10)
        t[i + j] += p;
      else
        t[i + j - 10] += 19 * p;
    }
  }
  return carry(t);
}

Fe mulSmall(const Fe& f, int32_t c) {
  int64_t t[10];
  for (int i = 0; i < 10; ++i) t[i] = int64_t(f.limb[i]) * c;
  return carry(t);
}

namespace {

Fe sqTimes(Fe f, int n) {
  while (n-- > 0) f = sq(f);
  return f;
}

// f^(2^250 - 1), the common stem of inversion and the square-root power;
// also returns f^11.
Fe pow2250Minus1(const Fe& f, Fe& f11) {
  Fe f2 = sq(f);
  Fe f9 = sqTimes(f2, 2) * f;
  f11 = f9 * f2;
  Fe e5 = sq(f11) * f9;               // 2^5 - 1
  Fe e10 = sqTimes(e5, 5) * e5;       // 2^10 - 1
  Fe e20 = sqTimes(e10, 10) * e10;    // 2^20 - 1
  Fe e40 = sqTimes(e20, 20) * e20;    // 2^40 - 1
  Fe e50 = sqTimes(e40, 10) * e10;    // 2^50 - 1
  Fe e100 = sqTimes(e50, 50) * e50;   // 2^100 - 1
  Fe e200 = sqTimes(e100, 100) * e100;
  return sqTimes(e200, 50) * e50;     // 2^250 - 1
}

}  // namespace

Fe invert(const Fe& f) {
  Fe f11;
  Fe e250 = pow2250Minus1(f, f11);
  return sqTimes(e250, 5) * f11;  // 2^255 - 32 + 11 = p - 2
}

Fe pow22523(const Fe& f) {
  Fe f11;
  Fe e250 = pow2250Minus1(f, f11);
  return sqTimes(e250, 2) * f;  // 2^252 - 3 = (p - 5) / 8
}

bool isZero(const Fe& f) {
  uint8_t b[32];
  toBytes(b, f);
  uint8_t any = 0;
  for (uint8_t x : b) any |= x;
  return any == 0;
}

bool isOdd(const Fe& f) {
  uint8_t b[32];
  toBytes(b, f);
  return b[0] & 1;
}

bool equal(const Fe& f, const Fe& g) { return isZero(sub(f, g)); }

}  // namespace cipher::field
