// The twisted Edwards curve -x^2 + y^2 = 1 + d x^2 y^2 of Ed25519 (RFC 8032),
// points in extended coordinates (X : Y : Z : T) with x = X/Z, y = Y/Z, xy = T/Z.
#pragma once

#include <cstdint>

#include "crypto/field25519.h"

namespace cipher::edwards {

struct Point {
  field::Fe X, Y, Z, T;
};

Point identity();
const Point& basePoint();
Point add(const Point& p, const Point& q);
Point dbl(const Point& p);
Point negate(const Point& p);

// RFC 8032 section 5.1.3: false for a y of p or more, for a y with no x, and
// for x = 0 with the sign bit set.
[[nodiscard]] bool decode(Point& out, const uint8_t bytes[32]);
void encode(uint8_t out[32], const Point& p);

// [a]A + [b]B for 256-bit little-endian scalars a and b, B the base point.
// Not constant-time: fine for verification, where nothing is secret.
Point doubleScalarMult(const uint8_t a[32], const Point& A, const uint8_t b[32]);

}  // namespace cipher::edwards
