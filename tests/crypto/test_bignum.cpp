#include "tests/crypto/test_bignum.h"

namespace qvtest {

Big Big::fromBytes(const uint8_t* bytes, size_t length) {
  Big b;
  for (size_t i = 0; i < length && i < 64; ++i) b.w[i / 4] |= uint32_t(bytes[i]) << (8 * (i % 4));
  return b;
}

Big Big::small(uint64_t v) {
  Big b;
  b.w[0] = uint32_t(v);
  b.w[1] = uint32_t(v >> 32);
  return b;
}

void Big::toBytes32(uint8_t out[32]) const {
  for (int i = 0; i < 32; ++i) out[i] = uint8_t(w[i / 4] >> (8 * (i % 4)));
}

bool Big::isZero() const {
  for (uint32_t x : w)
    if (x) return false;
  return true;
}

int compare(const Big& a, const Big& b) {
  for (int i = 15; i >= 0; --i)
    if (a.w[i] != b.w[i]) return a.w[i] < b.w[i] ? -1 : 1;
  return 0;
}

Big add(const Big& a, const Big& b) {
  Big r;
  uint64_t carry = 0;
  for (int i = 0; i < 16; ++i) {
    uint64_t t = uint64_t(a.w[i]) + b.w[i] + carry;
    r.w[i] = uint32_t(t);
    carry = t >> 32;
  }
  return r;
}

Big sub(const Big& a, const Big& b) {
  Big r;
  uint64_t borrow = 0;
  for (int i = 0; i < 16; ++i) {
    uint64_t t = uint64_t(a.w[i]) - b.w[i] - borrow;
    r.w[i] = uint32_t(t);
    borrow = (t >> 32) & 1;
  }
  return r;
}

Big mulLow(const Big& a, const Big& b) {
  Big r;
  for (int i = 0; i < 16; ++i) {
    uint64_t carry = 0;
    for (int j = 0; i + j < 16; ++j) {
      uint64_t t = uint64_t(a.w[i]) * b.w[j] + r.w[i + j] + carry;
      r.w[i + j] = uint32_t(t);
      carry = t >> 32;
    }
  }
  return r;
}

Big shiftLeft(const Big& a, int bits) {
  Big r;
  for (int i = 511; i >= bits; --i)
    if (a.bit(i - bits)) r.w[i / 32] |= 1u << (i % 32);
  return r;
}

namespace {

Big primeP() {
  Big p;
  for (int i = 0; i < 8; ++i) p.w[i] = 0xffffffff;
  p.w[0] = 0xffffffed;
  p.w[7] = 0x7fffffff;
  return p;
}

// a = hi * 2^256 + lo, and 2^256 = 38 (mod p). One pass for the small
// factor: the oracle folds millions of times, and a full product here made
// its tests slow enough to run into their time limit on a busy machine.
Big fold(const Big& a) {
  Big r;
  uint64_t carry = 0;
  for (int i = 0; i < 8; ++i) {
    const uint64_t t = uint64_t(a.w[i]) + uint64_t(a.w[i + 8]) * 38 + carry;
    r.w[i] = uint32_t(t);
    carry = t >> 32;
  }
  r.w[8] = uint32_t(carry);
  return r;
}

}  // namespace

Big modP(const Big& a) {
  Big r = fold(fold(fold(a)));
  const Big p = primeP();
  while (compare(r, p) >= 0) r = sub(r, p);
  return r;
}

Big addP(const Big& a, const Big& b) { return modP(add(a, b)); }
Big subP(const Big& a, const Big& b) { return modP(sub(add(modP(a), primeP()), modP(b))); }

Big mulP(const Big& a, const Big& b) {
  Big x = modP(a), y = modP(b);
  // full 512-bit product of two numbers below 2^255
  Big r;
  for (int i = 0; i < 8; ++i) {
    uint64_t carry = 0;
    for (int j = 0; j < 8; ++j) {
      uint64_t t = uint64_t(x.w[i]) * y.w[j] + r.w[i + j] + carry;
      r.w[i + j] = uint32_t(t);
      carry = t >> 32;
    }
    r.w[i + 8] = uint32_t(carry);
  }
  return modP(r);
}

Big powP(const Big& a, const Big& exponent) {
  Big r = Big::small(1);
  for (int i = 255; i >= 0; --i) {  // exponents here are below 2^256
    r = mulP(r, r);
    if (exponent.bit(i)) r = mulP(r, a);
  }
  return r;
}

Big invP(const Big& a) { return powP(a, sub(primeP(), Big::small(2))); }

bool sqrtP(const Big& a, Big& root) {
  // Atkin's variant for p = 5 (mod 8): x = a^((p+3)/8), times sqrt(-1) if x^2 = -a.
  Big exponent;  // (p + 3) / 8 = 2^252 - 2
  exponent.w[7] = 0x10000000;
  exponent = sub(exponent, Big::small(2));
  Big x = powP(a, exponent);
  Big aa = modP(a);
  if (compare(mulP(x, x), aa) != 0) {
    Big quarter;  // (p - 1) / 4 = 2^253 - 5
    quarter.w[7] = 0x20000000;
    quarter = sub(quarter, Big::small(5));
    x = mulP(x, powP(Big::small(2), quarter));
  }
  if (compare(mulP(x, x), aa) != 0) return false;
  root = x;
  return true;
}

MontPoint montAdd(const MontPoint& a, const MontPoint& b) {
  if (a.infinity) return b;
  if (b.infinity) return a;
  const Big A = Big::small(486662);
  Big lambda;
  if (compare(a.u, b.u) == 0) {
    if (compare(a.v, b.v) != 0 || a.v.isZero()) return MontPoint{Big(), Big(), true};
    Big u2 = mulP(a.u, a.u);
    Big numerator = addP(addP(mulP(Big::small(3), u2), mulP(mulP(Big::small(2), A), a.u)), Big::small(1));
    lambda = mulP(numerator, invP(addP(a.v, a.v)));
  } else {
    lambda = mulP(subP(b.v, a.v), invP(subP(b.u, a.u)));
  }
  MontPoint r;
  r.u = subP(subP(subP(mulP(lambda, lambda), A), a.u), b.u);
  r.v = subP(mulP(lambda, subP(a.u, r.u)), a.v);
  return r;
}

MontPoint montMultiple(const uint8_t scalar[32], const MontPoint& p) {
  MontPoint r{Big(), Big(), true};
  for (int i = 255; i >= 0; --i) {
    r = montAdd(r, r);
    if (scalar[i / 8] >> (i % 8) & 1) r = montAdd(r, p);
  }
  return r;
}

bool montPointEvenV(const Big& u, MontPoint& out) {
  Big uu = modP(u);
  Big u2 = mulP(uu, uu);
  Big w = addP(addP(mulP(u2, uu), mulP(Big::small(486662), u2)), uu);
  Big v;
  if (!sqrtP(w, v)) return false;
  if (v.w[0] & 1) v = subP(Big(), v);
  out = MontPoint{uu, v, false};
  return true;
}

Big integerRoot(const Big& n, int degree) {
  Big r;
  for (int bit = 63; bit >= 0; --bit) {  // roots below 2^64 are all the tests need
    Big candidate = r;
    candidate.w[bit / 32] |= 1u << (bit % 32);
    Big power = candidate;
    bool overflow = false;
    for (int k = 1; k < degree; ++k) {
      power = mulLow(power, candidate);
      if (power.w[15] & 0x80000000) overflow = true;
    }
    if (!overflow && compare(power, n) <= 0) r = candidate;
  }
  return r;
}

}  // namespace qvtest
