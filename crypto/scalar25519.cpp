#include "crypto/scalar25519.h"

#include <cstring>

namespace cipher::scalar {
namespace {

// L, little-endian 32-bit words.
constexpr uint32_t kL[8] = {0x5cf5d3ed, 0x5812631a, 0xa2f79cd6, 0x14def9de, 0, 0, 0, 0x10000000};

// Horner's rule over the bits, most significant first, keeping r < L with a
// branch-free conditional subtraction. Slow next to a Barrett reduction, but
// a few microseconds per call are nothing beside a point multiplication.
void reduceWords(uint32_t r[8], const uint32_t* in, size_t words) {
  uint32_t acc[9] = {};
  for (size_t w = words; w-- > 0;) {
    for (int bit = 31; bit >= 0; --bit) {
      uint32_t carry = (in[w] >> bit) & 1;
      for (int i = 0; i < 9; ++i) {
        uint32_t next = acc[i] >> 31;
        acc[i] = acc[i] << 1 | carry;
        carry = next;
      }
      uint32_t diff[9];
      uint64_t borrow = 0;
      for (int i = 0; i < 9; ++i) {
        uint64_t d = uint64_t(acc[i]) - (i < 8 ? kL[i] : 0) - borrow;
        diff[i] = uint32_t(d);
        borrow = (d >> 32) & 1;
      }
      uint32_t keep = uint32_t(0) - uint32_t(borrow);  // all ones when acc < L
      for (int i = 0; i < 9; ++i) acc[i] = (acc[i] & keep) | (diff[i] & ~keep);
    }
  }
  memcpy(r, acc, 8 * sizeof(uint32_t));
}

void loadWords(uint32_t* w, const uint8_t* bytes, size_t length) {
  for (size_t i = 0; i < (length + 3) / 4; ++i) w[i] = 0;
  for (size_t i = 0; i < length; ++i) w[i / 4] |= uint32_t(bytes[i]) << (8 * (i % 4));
}

void storeWords(uint8_t out[32], const uint32_t w[8]) {
  for (int i = 0; i < 32; ++i) out[i] = uint8_t(w[i / 4] >> (8 * (i % 4)));
}

}  // namespace

void reduce(uint8_t out[32], const uint8_t* in, size_t length) {
  uint32_t words[16];
  loadWords(words, in, length);
  uint32_t r[8];
  reduceWords(r, words, (length + 3) / 4);
  storeWords(out, r);
}

bool isCanonical(const uint8_t s[32]) {
  uint32_t w[8];
  loadWords(w, s, 32);
  for (int i = 7; i >= 0; --i) {
    if (w[i] < kL[i]) return true;
    if (w[i] > kL[i]) return false;
  }
  return false;  // equal to L
}

void mulAdd(uint8_t out[32], const uint8_t a[32], const uint8_t b[32], const uint8_t c[32]) {
  uint32_t x[8], y[8], z[8];
  loadWords(x, a, 32);
  loadWords(y, b, 32);
  loadWords(z, c, 32);
  uint32_t product[17] = {};
  for (int i = 0; i < 8; ++i) {
    uint64_t carry = 0;
    for (int j = 0; j < 8; ++j) {
      uint64_t t = uint64_t(x[i]) * y[j] + product[i + j] + carry;
      product[i + j] = uint32_t(t);
      carry = t >> 32;
    }
    product[i + 8] = uint32_t(carry);
  }
  uint64_t carry = 0;
  for (int i = 0; i < 17; ++i) {
    uint64_t t = uint64_t(product[i]) + (i < 8 ? z[i] : 0) + carry;
    product[i] = uint32_t(t);
    carry = t >> 32;
  }
  uint32_t r[8];
  reduceWords(r, product, 17);
  storeWords(out, r);
}

void sub(uint8_t out[32], const uint8_t a[32], const uint8_t b[32]) {
  // a + (L - (b mod L)), then reduced.
  uint32_t x[8], y[8];
  uint8_t bReduced[32];
  reduce(bReduced, b, 32);
  loadWords(x, a, 32);
  loadWords(y, bReduced, 32);
  uint32_t sum[9];
  uint64_t carry = 0;
  int64_t borrow = 0;
  for (int i = 0; i < 8; ++i) {
    int64_t negated = int64_t(kL[i]) - y[i] - borrow;  // L - b, word by word
    borrow = negated < 0;
    uint64_t t = uint64_t(x[i]) + uint32_t(negated) + carry;
    sum[i] = uint32_t(t);
    carry = t >> 32;
  }
  sum[8] = uint32_t(carry);
  uint32_t r[8];
  reduceWords(r, sum, 9);
  storeWords(out, r);
}

void invert(uint8_t out[32], const uint8_t a[32]) {
  // L - 2, little-endian bytes.
  static constexpr uint8_t kExponent[32] = {0xeb, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                            0xa2, 0xde, 0xf9, 0xde, 0x14, 0,    0,    0,    0,    0,    0,
                                            0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};
  static constexpr uint8_t kZero[32] = {};
  uint8_t result[32] = {1};
  for (int bit = 255; bit >= 0; --bit) {
    mulAdd(result, result, result, kZero);
    if (kExponent[bit / 8] >> (bit % 8) & 1) mulAdd(result, result, a, kZero);
  }
  memcpy(out, result, 32);
}

}  // namespace cipher::scalar
