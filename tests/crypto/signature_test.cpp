#include "crypto/signature.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "crypto/hash.h"
#include "crypto/sign/sign.h"
#include "tests/support/process.h"
#include "tests/support/sandbox.h"

namespace {

struct TestSigner {
  uint8_t seed[32];
  uint8_t olderKey[32];
  cipher::PackageKeys keys;

  TestSigner() {
    std::mt19937 rng(132);
    for (uint8_t& b : seed) b = uint8_t(rng());
    EXPECT_TRUE(older::makePrivateKey(olderKey));
    eddsa::publicKeyFromSeed(keys.ed25519, seed);
    older::publicKeyFromPrivate(keys.older, olderKey);
  }

  // A block as the package tool writes it: the first 20 bytes informational,
  // r and s of the older scheme, then (full form) the Ed25519 signature over
  // the whole digest area.
  std::string block(const uint8_t area[32], bool withOlder, bool withEd25519) {
    std::string b(withEd25519 ? cipher::SIGNATURE_BLOCK_FULL : cipher::SIGNATURE_BLOCK_OLDER, '\0');
    auto* p = reinterpret_cast<uint8_t*>(b.data());
    if (withOlder) {
      EXPECT_TRUE(older::sign(p + cipher::SIGNATURE_R_OFFSET, p + cipher::SIGNATURE_S_OFFSET, area, olderKey));
    }
    if (withEd25519) eddsa::sign(p + cipher::SIGNATURE_ED25519_OFFSET, seed, area, cipher::DIGEST_AREA_SIZE);
    return b;
  }
};

int level(const uint8_t area[32], const std::string& block, const cipher::PackageKeys& keys) {
  return cipher::signatureLevel(area, reinterpret_cast<const uint8_t*>(block.data()), block.size(), keys);
}

}  // namespace

TEST(SignatureLevel, BlockSizeFromRemainingLength) {
  const std::pair<uint64_t, size_t> cases[] = {{0, 0},    {67, 0},    {68, 68},  {100, 68},
                                               {131, 68}, {132, 132}, {500, 132}, {uint64_t(1) << 40, 132}};
  for (auto [remaining, size] : cases) EXPECT_EQ(cipher::signatureBlockSize(remaining), size) << remaining;
}

TEST(SignatureLevel, LevelTable) {
  TestSigner signer;
  uint8_t area[32];
  cipher::SHA256 h;
  h.update("package bytes", 13);
  h.final(area);
  uint8_t otherArea[32];
  memcpy(otherArea, area, 32);
  otherArea[5] ^= 1;

  std::string both = signer.block(area, true, true);
  std::string edOnly = signer.block(area, false, true);  // first 68 bytes zero
  std::string olderOnly = signer.block(area, true, false);
  std::string brokenEd = both;
  brokenEd[100] ^= 1;
  std::string brokenBoth = brokenEd;
  brokenBoth[30] ^= 1;

  struct Case {
    const char* name;
    const uint8_t* area;
    std::string block;
    int expected;
  } cases[] = {
      {"both signatures", area, both, 2},
      {"Ed25519 alone, first 68 bytes zero", area, edOnly, 2},
      {"older scheme alone (68 bytes)", area, olderOnly, 1},
      {"the 68 leading bytes of a full block", area, both.substr(0, 68), 1},
      {"invalid Ed25519, valid older scheme", area, brokenEd, 1},
      {"both invalid", area, brokenBoth, 0},
      {"Ed25519 alone but broken", area, std::string(68, '\0') + brokenEd.substr(68), 0},
      {"another digest", otherArea, both, 0},
      {"fewer than 68 bytes", area, both.substr(0, 67), 0},
      {"not a block size", area, both.substr(0, 100), 0},
      {"all zero", area, std::string(132, '\0'), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(level(c.area, c.block, signer.keys), c.expected);
  }
}

// With a SHA-1 digest the area holds the 20 digest bytes and 12 zero bytes;
// Ed25519 signs all 32, the older scheme only the 20.
TEST(SignatureLevel, Sha1DigestAreaIsZeroPadded) {
  TestSigner signer;
  uint8_t area[32] = {};
  cipher::SHA1 h;
  h.update("package bytes", 13);
  h.final(area);
  std::string block = signer.block(area, true, true);
  EXPECT_EQ(level(area, block, signer.keys), 2);
  uint8_t dirty[32];
  memcpy(dirty, area, 32);
  dirty[25] = 0xff;  // garbage after the SHA-1 digest changes the Ed25519 message only
  EXPECT_EQ(level(dirty, block, signer.keys), 1);
}

// The built-in keys are the development pair of the repository, whose
// private half signs at level 2 against them.
TEST(SignatureLevel, BuiltinKeysAreTheDevelopmentPair) {
  const std::string publicFile = qvtest::readFile(QV_SOURCE_DIR "/keys/dev-public.key");
  ASSERT_EQ(publicFile.size(), 64u);
  EXPECT_EQ(memcmp(&cipher::builtinPackageKeys(), publicFile.data(), 64), 0);
  const std::string privateFile = qvtest::readFile(QV_SOURCE_DIR "/keys/dev-private.key");
  ASSERT_EQ(privateFile.size(), 72u);
  TestSigner signer;
  memcpy(signer.seed, privateFile.data() + 8, 32);
  memcpy(signer.olderKey, privateFile.data() + 40, 32);
  uint8_t area[32] = {1, 2, 3};
  EXPECT_EQ(level(area, signer.block(area, true, true), cipher::builtinPackageKeys()), 2);
  EXPECT_EQ(level(area, signer.block(area, true, false), cipher::builtinPackageKeys()), 1);
}
