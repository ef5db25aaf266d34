#include "crypto/older_scheme.h"

#include <cstring>

namespace older {
using namespace cipher::field;

namespace {

// H' must differ from SHA-256 and be reproducible by anyone, so its tables
// are the next roots along from SHA-256's own: the first 32 bits of the
// fractional parts of the square roots of the 9th to 16th primes (23 ... 53)
// for the initial words, and of the cube roots of the 65th to 128th primes
// (313 ... 719) for the round constants. That is floor(sqrt(q * 2^64)) and
// floor(cbrt(q * 2^96)) modulo 2^32 in integer arithmetic; the tests
// recompute both tables this way.
constexpr uint32_t kOlderInitial[8] = {0xcbbb9d5d, 0x629a292a, 0x9159015a, 0x152fecd8,
                                       0x67332667, 0x8eb44a87, 0xdb0c2e0d, 0x47b5481d};
constexpr uint32_t kOlderRound[64] = {
    0xca273ece, 0xd186b8c7, 0xeada7dd6, 0xf57d4f7f, 0x06f067aa, 0x0a637dc5, 0x113f9804, 0x1b710b35,
    0x28db77f5, 0x32caab7b, 0x3c9ebe0a, 0x431d67c4, 0x4cc5d4be, 0x597f299c, 0x5fcb6fab, 0x6c44198c,
    0x7ba0ea2d, 0x7eabf2d0, 0x8dbe8d03, 0x90bb1721, 0x99a2ad45, 0x9f86e289, 0xa84c4472, 0xb3df34fc,
    0xb99bb8d7, 0xbc76cbab, 0xc226a69a, 0xd304f19a, 0xde1be20a, 0xe39bb437, 0xee84927c, 0xf3edd277,
    0xfbfdfe53, 0x0bee2c7a, 0x0e90181c, 0x25f57204, 0x2da45582, 0x3a52c34c, 0x41dc0172, 0x495796fc,
    0x4bd31fc6, 0x533cde21, 0x5f7abfe3, 0x66c206b3, 0x6dfcc6bc, 0x7062f20f, 0x778d5127, 0x7eaba3cc,
    0x8363eccc, 0x85be1c25, 0x93c04028, 0x9f4a205f, 0xa1953565, 0xa627bb0f, 0xacfa8089, 0xb3c29b23,
    0xb602f6fa, 0xc36cee0a, 0xc7dc81ee, 0xce7b8471, 0xd740288c, 0xe21dba7a, 0xeabbff66, 0xf56a9e60};

// A point of the ladder in projective x-only form (X : Z).
struct XZ {
  Fe X, Z;
};

XZ doubling(const XZ& p) {
  Fe alpha = sq(p.X + p.Z);
  Fe beta = sq(p.X - p.Z);
  Fe gamma = alpha - beta;
  return {alpha * beta, gamma * (alpha + mulSmall(gamma, 121665))};
}

// P1 + P2 from P1, P2 and the u-coordinate d of P1 - P2.
XZ differentialSum(const XZ& p1, const XZ& p2, const Fe& d) {
  Fe m = (p1.X - p1.Z) * (p2.X + p2.Z);
  Fe n = (p1.X + p1.Z) * (p2.X - p2.Z);
  return {sq(m + n), d * sq(m - n)};
}

Fe curveW(const Fe& u) {
  Fe u2 = sq(u);
  return u2 * u + mulSmall(u2, CURVE_A) + u;
}

inline int bitOf(const uint8_t* bytes, int i) { return i < 0 || i > 255 ? 0 : bytes[i / 8] >> (i % 8) & 1; }

}  // namespace

OlderHash::OlderHash() : SHA256(kOlderInitial, kOlderRound) {}

Fe evenV(const Fe& u) {
  Fe w = curveW(u);
  Fe w2 = w + w;
  Fe t = pow22523(w2);
  Fe v = w * t * (w2 * sq(t) - fromInt(1));
  return isOdd(v) ? -v : v;
}

Fe jointLadder(const uint8_t e[32], const uint8_t s[32], const Fe& keyU) {
  const Fe nine = fromInt(9);
  const Fe one = fromInt(1);
  const Fe w0 = fromInt(39420360);  // 9^3 + 486662 * 9^2 + 9
  const Fe v0 = evenV(nine);
  const Fe w = curveW(keyU);
  const Fe v = evenV(keyU);

  // u(P + G) and u(P - G) from the chord through P and G.
  Fe twoVV0 = mulSmall(v * v0, 2);
  Fe inverseSquare = invert(sq(keyU - nine));
  Fe offset = keyU + fromInt(CURVE_A + 9);
  Fe uSum = (w + w0 - twoVV0) * inverseSquare - offset;
  Fe uDifference = (w + w0 + twoVV0) * inverseSquare - offset;

  // c(i) = Ds(i) XOR (W(i) AND c(i-1)) with De = e XOR 2e, Ds = s XOR 2s and
  // W = NOT(De XOR Ds); bit 256 is the carry.
  int c[257];
  int previous = 0;
  for (int i = 0; i <= 256; ++i) {
    int de = bitOf(e, i) ^ bitOf(e, i - 1);
    int ds = bitOf(s, i) ^ bitOf(s, i - 1);
    int wBit = !(de ^ ds);
    previous = ds ^ (wBit & previous);
    c[i] = previous;
  }
  auto cBit = [&](int i) { return i > 256 ? 0 : c[i]; };

  XZ reg[3] = {{one, fromInt(0)}, {c[256] ? keyU : nine, one}, {uSum, one}};
  for (int i = 255; i >= 0; --i) {
    int idx = (bitOf(e, i) ^ bitOf(e, i + 1)) + (bitOf(s, i) ^ bitOf(s, i + 1));
    int sel = (cBit(i) ^ cBit(i + 1)) ? 2 : 0;
    bool difference = (bitOf(e, i + 1) ^ bitOf(s, i + 1)) != 0;
    XZ next0 = doubling(reg[idx]);
    XZ next1 = differentialSum(reg[1], reg[sel], cBit(i) ? keyU : nine);
    XZ next2 = differentialSum(reg[2], reg[0], difference ? uDifference : uSum);
    reg[0] = next0;
    reg[1] = next1;
    reg[2] = next2;
  }
  const XZ& result = reg[bitOf(e, 0) + bitOf(s, 0)];
  return result.X * invert(result.Z);
}

void challenge(uint8_t e[32], const uint8_t digest20[20], const uint8_t r[CHECK_SIZE]) {
  OlderHash h;
  h.update(digest20, 20);
  h.final(e);
  for (size_t i = 0; i < CHECK_SIZE; ++i) e[8 + i] ^= r[i];
  e[0] &= 0xf8;
  e[31] = (e[31] & 0x7f) | 0x40;
}

bool verify(const uint8_t digest20[20], const uint8_t r[CHECK_SIZE], const uint8_t s[SCALAR_SIZE],
            const uint8_t publicKey[32]) {
  uint8_t e[32];
  challenge(e, digest20, r);
  Fe u = fromBytes(publicKey, true);
  uint8_t uR[32];
  toBytes(uR, jointLadder(e, s, u));
  uint8_t check[32];
  OlderHash h;
  h.update(uR, sizeof uR);
  h.final(check);
  return memcmp(check, r, CHECK_SIZE) == 0;
}

}  // namespace older
