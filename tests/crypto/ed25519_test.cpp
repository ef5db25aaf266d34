#include "crypto/ed25519.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "crypto/scalar25519.h"
#include "crypto/sign/sign.h"
#include "tests/support/process.h"
#include "tests/support/sandbox.h"

using qvtest::fromHex;
using qvtest::toHex;

namespace {

std::string bytesOf(const uint8_t* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

bool verify(const std::string& key, const std::string& message, const std::string& signature) {
  auto b = [](const std::string& s) {
    auto* p = reinterpret_cast<const uint8_t*>(s.data());
    return asn1::blob{p, p + s.size()};
  };
  return eddsa::verify(b(key), b(message), b(signature));
}

std::string publicKey(const std::string& seed) {
  uint8_t key[32];
  eddsa::publicKeyFromSeed(key, reinterpret_cast<const uint8_t*>(seed.data()));
  return bytesOf(key, 32);
}

std::string sign(const std::string& seed, const std::string& message) {
  uint8_t signature[64];
  eddsa::sign(signature, reinterpret_cast<const uint8_t*>(seed.data()),
              reinterpret_cast<const uint8_t*>(message.data()), message.size());
  return bytesOf(signature, 64);
}

struct RfcVector {
  const char* name;
  const char* secret;
  const char* publicKey;
  const char* message;
  const char* signature;
};

// RFC 8032 section 7.1, the Ed25519 test vectors (TEST 1024's 1023-byte
// message is not reproduced here; the OpenSSL comparison below covers long
// messages).
const RfcVector kRfcVectors[] = {
    {"TEST 1", "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"},
    {"TEST 2", "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
    {"TEST 3", "c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a"},
    {"TEST SHA(abc)", "833fe62409237b9d62ec77587520911e9a759cec1d19755b7da901b96dca3d42",
     "ec172b93ad5e563bf4932c70e1245034c35467ef2efd4d64ebf819683467e2bf",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f",
     "dc2a4459e7369633a52b1bf277839a00201009a3efbf3ecb69bea2186c26b58909351fc9ac90b3ecfdfbc7c66431e0303dca179c138ac17ad9bef1177331a704"},
};

// L, little-endian.
const std::string kOrderL = fromHex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");

}  // namespace

TEST(Ed25519, Rfc8032Vectors) {
  for (const RfcVector& v : kRfcVectors) {
    SCOPED_TRACE(v.name);
    const std::string seed = fromHex(v.secret), key = fromHex(v.publicKey);
    const std::string message = fromHex(v.message), signature = fromHex(v.signature);
    EXPECT_EQ(toHex(publicKey(seed)), v.publicKey);
    EXPECT_EQ(toHex(sign(seed, message)), v.signature);
    EXPECT_TRUE(verify(key, message, signature));
  }
}

// Any flipped bit of key, message or signature makes the check fail.
TEST(Ed25519, EveryFlippedBitFails) {
  const RfcVector& v = kRfcVectors[2];
  const std::string key = fromHex(v.publicKey), message = fromHex(v.message), signature = fromHex(v.signature);
  for (size_t bit = 0; bit < 8 * signature.size(); ++bit) {
    std::string s = signature;
    s[bit / 8] ^= char(1 << (bit % 8));
    EXPECT_FALSE(verify(key, message, s)) << "signature bit " << bit;
  }
  for (size_t bit = 0; bit < 8 * key.size(); ++bit) {
    std::string k = key;
    k[bit / 8] ^= char(1 << (bit % 8));
    EXPECT_FALSE(verify(k, message, signature)) << "key bit " << bit;
  }
  for (size_t bit = 0; bit < 8 * message.size(); ++bit) {
    std::string m = message;
    m[bit / 8] ^= char(1 << (bit % 8));
    EXPECT_FALSE(verify(key, m, signature)) << "message bit " << bit;
  }
}

TEST(Ed25519, MalformedInputsAreRejected) {
  const RfcVector& v = kRfcVectors[1];
  const std::string key = fromHex(v.publicKey), message = fromHex(v.message), signature = fromHex(v.signature);
  ASSERT_TRUE(verify(key, message, signature));

  // S + L is the same scalar modulo L: accepted by the group equation, refused
  // as non-canonical so that signatures cannot be altered. S = L likewise.
  std::string sPlusL = signature;
  unsigned carry = 0;
  for (int i = 0; i < 32; ++i) {
    unsigned t = uint8_t(signature[32 + i]) + uint8_t(kOrderL[i]) + carry;
    sPlusL[32 + i] = char(t);
    carry = t >> 8;
  }
  ASSERT_EQ(carry, 0u);
  EXPECT_FALSE(verify(key, message, sPlusL));
  EXPECT_FALSE(verify(key, message, signature.substr(0, 32) + kOrderL));
  EXPECT_FALSE(cipher::scalar::isCanonical(reinterpret_cast<const uint8_t*>(kOrderL.data())));

  // A signature range of any other length.
  EXPECT_FALSE(verify(key, message, signature.substr(0, 63)));
  EXPECT_FALSE(verify(key, message, signature + '\0'));
  EXPECT_FALSE(verify(key, message, ""));
  EXPECT_FALSE(verify(key.substr(0, 31), message, signature));

  // Points that do not decode: y = 2 has no x on the curve; y = p is a
  // second encoding of y = 0; x = 0 with the sign bit set.
  std::string noPoint(32, '\0');
  noPoint[0] = 2;
  std::string yIsP = fromHex("edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f");
  std::string negativeZero(32, '\0');
  negativeZero[0] = 1;
  negativeZero[31] = char(0x80);
  for (const std::string& bad : {noPoint, yIsP, negativeZero}) {
    SCOPED_TRACE(toHex(bad));
    EXPECT_FALSE(verify(bad, message, signature));
    EXPECT_FALSE(verify(key, message, bad + signature.substr(32)));
  }
}

// 1,000 random keys and messages: OpenSSL's signatures verify with ours, and
// ours are byte-identical to OpenSSL's.
TEST(Ed25519, MatchesOpensslOnRandomKeys) {
  constexpr int kCount = 1000;
  qvtest::TempDir dir;
  std::mt19937 rng(8032);
  std::vector<std::string> seeds, messages;
  // PKCS#8 wrapping of a raw Ed25519 private key (RFC 8410).
  const std::string derPrefix = fromHex("302e020100300506032b657004220420");
  std::string script;
  for (int i = 0; i < kCount; ++i) {
    std::string seed(32, '\0'), message(rng() % 300, '\0');
    for (char& c : seed) c = char(rng());
    for (char& c : message) c = char(rng());
    seeds.push_back(seed);
    messages.push_back(message);
    std::string base = dir / std::to_string(i);
    qvtest::writeFile(base + ".der", derPrefix + seed);
    qvtest::writeFile(base + ".msg", message);
  }
  script = "cd " + dir.path() + " && for i in $(seq 0 " + std::to_string(kCount - 1) +
           "); do openssl pkeyutl -sign -rawin -keyform DER -inkey $i.der -in $i.msg -out $i.sig || exit 1; done";
  qvtest::ProcessResult r = qvtest::runProgram({"sh", "-c", script});
  ASSERT_EQ(r.status, 0) << r.err;
  for (int i = 0; i < kCount; ++i) {
    SCOPED_TRACE(i);
    const std::string theirs = qvtest::readFile(dir / (std::to_string(i) + ".sig"));
    ASSERT_EQ(theirs.size(), 64u);
    EXPECT_TRUE(verify(publicKey(seeds[i]), messages[i], theirs));
    EXPECT_EQ(toHex(sign(seeds[i], messages[i])), toHex(theirs));
  }
}
