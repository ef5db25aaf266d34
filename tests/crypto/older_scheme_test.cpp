#include "crypto/older_scheme.h"

#include <gtest/gtest.h>

#include <random>

#include "crypto/sign/sign.h"
#include "tests/crypto/test_bignum.h"
#include "tests/support/process.h"

using namespace cipher::field;
using qvtest::Big;
using qvtest::MontPoint;

namespace {

std::string uOf(const Fe& f) {
  uint8_t b[32];
  toBytes(b, f);
  return qvtest::toHex(b, 32);
}

std::string uOf(const MontPoint& p) {
  uint8_t b[32];
  p.u.toBytes32(b);
  return qvtest::toHex(b, 32);
}

}  // namespace

// Each test draws from a generator of its own, so that its values do not
// depend on which tests ran before it in the same process.
class OlderScheme : public ::testing::Test {
 protected:
  void randomBytes(uint8_t* out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = uint8_t(rng_());
  }

  // A random point of the curve (any subgroup), from the oracle.
  MontPoint randomCurvePoint() {
    for (;;) {
      uint8_t u[32];
      randomBytes(u, 32);
      u[31] &= 0x7f;
      MontPoint p;
      if (qvtest::montPointEvenV(Big::fromBytes(u, 32), p)) return p;
    }
  }

 private:
  std::mt19937 rng_{25519};
};

// The joint ladder's u([e]G + [s]P) against a plain affine double-and-add.
TEST_F(OlderScheme, JointLadderMatchesDoubleAndAdd) {
  MontPoint g;
  ASSERT_TRUE(qvtest::montPointEvenV(Big::small(9), g));
  struct Case {
    const char* name;
    bool clampE;
    bool zeroS;
    bool subgroupKey;
  } cases[] = {
      {"clamped e, random s, key in the prime subgroup", true, false, true},
      {"clamped e, s = 0", true, true, true},
      {"random e, random s, key anywhere on the curve", false, false, false},
      {"random e, s = 0, key anywhere", false, true, false},
  };
  for (const Case& c : cases) {
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE(std::string(c.name) + " #" + std::to_string(round));
      uint8_t e[32], s[32] = {};
      randomBytes(e, 32);
      if (c.clampE) {
        e[0] &= 0xf8;
        e[31] = (e[31] & 0x7f) | 0x40;
      }
      if (!c.zeroS) randomBytes(s, 32);
      MontPoint key;
      if (c.subgroupKey) {
        uint8_t x[32];
        randomBytes(x, 32);
        x[31] &= 0x0f;
        key = qvtest::montMultiple(x, g);
        if (key.v.w[0] & 1) key.v = qvtest::subP(Big(), key.v);
      } else {
        key = randomCurvePoint();
      }
      MontPoint expected = qvtest::montAdd(qvtest::montMultiple(e, g), qvtest::montMultiple(s, key));
      ASSERT_FALSE(expected.infinity);
      uint8_t keyU[32];
      key.u.toBytes32(keyU);
      EXPECT_EQ(uOf(older::jointLadder(e, s, fromBytes(keyU, true))), uOf(expected));
    }
  }
}

// The key point's v: the square root of w with an even canonical value.
TEST_F(OlderScheme, EvenVIsTheEvenSquareRoot) {
  for (int i = 0; i < 5; ++i) {
    MontPoint p;
    if (i == 0) {
      ASSERT_TRUE(qvtest::montPointEvenV(Big::small(9), p));  // the base point
    } else {
      p = randomCurvePoint();
    }
    uint8_t u[32];
    p.u.toBytes32(u);
    EXPECT_EQ(uOf(older::evenV(fromBytes(u, true))), uOf(MontPoint{p.v, Big(), false}));
  }
}

// H' tables: the integer roots of the primes after SHA-256's own, recomputed.
TEST_F(OlderScheme, HashConstantsAreTheNextPrimeRoots) {
  std::vector<uint32_t> primes;
  for (uint32_t n = 2; primes.size() < 128; ++n) {
    bool prime = true;
    for (uint32_t q : primes)
      if (q * q <= n && n % q == 0) prime = false;
    if (prime) primes.push_back(n);
  }
  auto fraction32 = [](uint32_t q, int degree) {
    Big n = qvtest::shiftLeft(Big::small(q), 32 * degree);
    return qvtest::integerRoot(n, degree).w[0];
  };
  // The derivation gives SHA-256's published values for its own primes...
  EXPECT_EQ(fraction32(2, 2), 0x6a09e667u);
  EXPECT_EQ(fraction32(311, 3), 0xc67178f2u);
  // ... and H' is SHA-256 with the next ones: recompute H'("abc") from them
  // through a subclass of SHA256 built on the recomputed tables.
  static uint32_t recomputedInitial[8], recomputedRound[64];
  for (int i = 0; i < 8; ++i) recomputedInitial[i] = fraction32(primes[8 + i], 2);
  for (int i = 0; i < 64; ++i) recomputedRound[i] = fraction32(primes[64 + i], 3);
  struct Recomputed : cipher::SHA256 {
    Recomputed() : SHA256(recomputedInitial, recomputedRound) {}
  } recomputed;
  older::OlderHash shipped;
  uint8_t a[32], b[32];
  shipped.update("abc", 3);
  shipped.final(b);
  recomputed.update("abc", 3);
  recomputed.final(a);
  EXPECT_EQ(qvtest::toHex(a, 32), qvtest::toHex(b, 32));
  cipher::SHA256 plain;
  plain.update("abc", 3);
  plain.final(a);
  EXPECT_NE(qvtest::toHex(a, 32), qvtest::toHex(b, 32));
}

// Signatures made by the signer verify; any flipped bit in r, s, the digest
// or the key fails.
TEST_F(OlderScheme, SignVerifyAndFlippedBits) {
  uint8_t privateKey[32], publicKey[32];
  ASSERT_TRUE(older::makePrivateKey(privateKey));
  older::publicKeyFromPrivate(publicKey, privateKey);
  uint8_t digest[20], r[16], s[32];
  randomBytes(digest, sizeof digest);
  ASSERT_TRUE(older::sign(r, s, digest, privateKey));
  EXPECT_TRUE(older::verify(digest, r, s, publicKey));

  struct Target {
    const char* name;
    uint8_t* bytes;
    size_t size;
  } targets[] = {{"r", r, 16}, {"s", s, 32}, {"digest", digest, 20}, {"key", publicKey, 32}};
  for (const Target& t : targets) {
    // Every bit of r and the digest; a spread of bits of s and the key (the
    // top bit of the key counts too: all 256 bits are read).
    for (size_t bit = 0; bit < 8 * t.size; bit += (t.size == 32 ? 7 : 1)) {
      t.bytes[bit / 8] ^= uint8_t(1 << (bit % 8));
      EXPECT_FALSE(older::verify(digest, r, s, publicKey)) << t.name << " bit " << bit;
      t.bytes[bit / 8] ^= uint8_t(1 << (bit % 8));
    }
    uint8_t top = t.bytes[t.size - 1];
    t.bytes[t.size - 1] ^= 0x80;
    EXPECT_FALSE(older::verify(digest, r, s, publicKey)) << t.name << " top bit";
    t.bytes[t.size - 1] = top;
  }
  EXPECT_TRUE(older::verify(digest, r, s, publicKey));
}
