#include "crypto/edwards25519.h"

#include <cstring>

namespace cipher::edwards {
using namespace cipher::field;

namespace {

struct Constants {
  Fe d, d2, sqrtm1;
  Point base;
  Point baseTable[16];  // [i]B
};

bool decodeWith(const Constants& c, Point& out, const uint8_t bytes[32]);
Point addWith(const Fe& d2, const Point& p, const Point& q);

const Constants& constants() {
  static const Constants c = [] {
    Constants k;
    k.d = -mulSmall(invert(fromInt(121666)), 121665);  // d = -121665/121666
    k.d2 = k.d + k.d;
    k.sqrtm1 = mulSmall(sq(pow22523(fromInt(2))), 2);  // 2^((p-1)/4)
    // The base point: y = 4/5 with the even x.
    uint8_t encoded[32];
    memset(encoded, 0x66, sizeof encoded);
    encoded[0] = 0x58;
    if (!decodeWith(k, k.base, encoded)) __builtin_trap();
    k.baseTable[0] = identity();
    for (int i = 1; i < 16; ++i) k.baseTable[i] = addWith(k.d2, k.baseTable[i - 1], k.base);
    return k;
  }();
  return c;
}

bool decodeWith(const Constants& c, Point& out, const uint8_t bytes[32]) {
  uint8_t yBytes[32];
  memcpy(yBytes, bytes, 32);
  const bool xSign = yBytes[31] >> 7;
  yBytes[31] &= 0x7f;
  Fe y = fromBytes(yBytes);
  uint8_t check[32];
  toBytes(check, y);
  if (memcmp(check, yBytes, 32) != 0) return false;  // y >= p: a second encoding of one point

  Fe one = fromInt(1);
  Fe y2 = sq(y);
  Fe u = y2 - one;
  Fe v = c.d * y2 + one;
  Fe v3 = sq(v) * v;
  Fe x = u * v3 * pow22523(u * sq(v3) * v);  // u v^3 (u v^7)^((p-5)/8)
  Fe vx2 = v * sq(x);
  if (!equal(vx2, u)) {
    if (!equal(vx2, -u)) return false;  // u/v has no square root: not on the curve
    x = x * c.sqrtm1;
  }
  if (isZero(x) && xSign) return false;
  if (isOdd(x) != xSign) x = -x;
  out = {x, y, one, x * y};
  return true;
}

Point addWith(const Fe& d2, const Point& p, const Point& q) {
  // add-2008-hwcd-3
  Fe a = (p.Y - p.X) * (q.Y - q.X);
  Fe b = (p.Y + p.X) * (q.Y + q.X);
  Fe c = p.T * d2 * q.T;
  Fe d = p.Z * (q.Z + q.Z);
  Fe e = b - a, f = d - c, g = d + c, h = b + a;
  return {e * f, g * h, f * g, e * h};
}

}  // namespace

Point identity() { return {fromInt(0), fromInt(1), fromInt(1), fromInt(0)}; }

const Point& basePoint() { return constants().base; }

Point add(const Point& p, const Point& q) { return addWith(constants().d2, p, q); }

Point dbl(const Point& p) {
  // dbl-2008-hwcd with a = -1
  Fe a = sq(p.X);
  Fe b = sq(p.Y);
  Fe c = sq(p.Z);
  c = c + c;
  Fe e = sq(p.X + p.Y) - a - b;
  Fe g = b - a;
  Fe f = g - c;
  Fe h = -(a + b);
  return {e * f, g * h, f * g, e * h};
}

Point negate(const Point& p) { return {-p.X, p.Y, p.Z, -p.T}; }

bool decode(Point& out, const uint8_t bytes[32]) { return decodeWith(constants(), out, bytes); }

void encode(uint8_t out[32], const Point& p) {
  Fe zInverse = invert(p.Z);
  Fe x = p.X * zInverse;
  Fe y = p.Y * zInverse;
  toBytes(out, y);
  out[31] |= uint8_t(isOdd(x) << 7);
}

Point doubleScalarMult(const uint8_t a[32], const Point& A, const uint8_t b[32]) {
  const Constants& c = constants();
  Point tableA[16];
  tableA[0] = identity();
  for (int i = 1; i < 16; ++i) tableA[i] = add(tableA[i - 1], A);

  Point r = identity();
  for (int nibble = 63; nibble >= 0; --nibble) {
    if (nibble != 63)
      for (int i = 0; i < 4; ++i) r = dbl(r);
    int na = a[nibble / 2] >> (4 * (nibble % 2)) & 15;
    int nb = b[nibble / 2] >> (4 * (nibble % 2)) & 15;
    if (na) r = add(r, tableA[na]);
    if (nb) r = add(r, c.baseTable[nb]);
  }
  return r;
}

}  // namespace cipher::edwards
