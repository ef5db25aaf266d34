// Test-only arithmetic, written apart from the product's field code so that it
// can serve as an oracle: plain 512-bit unsigned integers, integers modulo
// p = 2^255 - 19, and affine double-and-add on Curve25519 with v-coordinates.
#pragma once

#include <cstdint>
#include <string>

namespace qvtest {

struct Big {
  uint32_t w[16] = {};

  static Big fromBytes(const uint8_t* bytes, size_t length);  // little-endian
  static Big small(uint64_t v);
  void toBytes32(uint8_t out[32]) const;
  bool bit(int i) const { return w[i / 32] >> (i % 32) & 1; }
  bool isZero() const;
};

int compare(const Big& a, const Big& b);
Big add(const Big& a, const Big& b);       // modulo 2^512
Big sub(const Big& a, const Big& b);       // modulo 2^512
Big mulLow(const Big& a, const Big& b);    // low 512 bits of the product
Big shiftLeft(const Big& a, int bits);

// Modulo p.
Big modP(const Big& a);
Big addP(const Big& a, const Big& b);
Big subP(const Big& a, const Big& b);
Big mulP(const Big& a, const Big& b);
Big powP(const Big& a, const Big& exponent);
Big invP(const Big& a);
// A square root of a modulo p, or false when a is not a square.
bool sqrtP(const Big& a, Big& root);

struct MontPoint {
  Big u, v;
  bool infinity = false;
};
MontPoint montAdd(const MontPoint& a, const MontPoint& b);
MontPoint montMultiple(const uint8_t scalar[32], const MontPoint& p);
// The point with this u and the even v; false when u is not on the curve.
bool montPointEvenV(const Big& u, MontPoint& out);

// Integer roots (floor), for recomputing hash constants.
Big integerRoot(const Big& n, int degree);

}  // namespace qvtest
