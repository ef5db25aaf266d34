#include "crypto/hash.h"
#include "crypto/sha_x86.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "tests/support/process.h"

using cipher::Hash;
using qvtest::toHex;

namespace {

std::unique_ptr<Hash> make(const std::string& name) {
  if (name == "sha1") return std::make_unique<cipher::SHA1>();
  if (name == "sha256") return std::make_unique<cipher::SHA256>();
  return std::make_unique<cipher::SHA512>();
}

std::string digestOf(Hash& h) {
  uint8_t out[64];
  h.final(out);
  return toHex(out, h.digestSize());
}

std::string digestOf(const std::string& name, const std::string& message) {
  auto h = make(name);
  h->update(message.data(), message.size());
  return digestOf(*h);
}

// The independent oracle.
std::string opensslDigest(const std::string& name, const std::string& message) {
  qvtest::ProcessResult r = qvtest::runProgram({"openssl", "dgst", "-" + name, "-binary"}, message);
  EXPECT_EQ(r.status, 0) << r.err;
  return toHex(r.out);
}

std::string randomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = char(rng());
  return s;
}

const std::string kTwoBlocks448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const std::string kTwoBlocks896 =
    "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";

}  // namespace

// Every case runs twice: on the x86 SHA extensions where the processor has
// them, and on the portable code.
class HashPaths : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam() && !cipher::x86::haveShaExtensions()) GTEST_SKIP() << "no SHA extensions on this processor";
    cipher::x86::setShaExtensionsAllowed(GetParam());
  }
  void TearDown() override { cipher::x86::setShaExtensionsAllowed(true); }
};
INSTANTIATE_TEST_SUITE_P(Hash, HashPaths, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "ShaExtensions" : "Portable"; });

struct HashVector {
  const char* algorithm;
  std::string message;
  const char* digest;
};

// FIPS 180-4 example vectors (the NIST "Examples with intermediate values" documents).
TEST_P(HashPaths, Fips180Vectors) {
  const std::string million(1000000, 'a');
  const HashVector vectors[] = {
      {"sha1", "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"sha1", "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"sha1", kTwoBlocks448, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {"sha1", million, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
      {"sha256", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"sha256", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"sha256", kTwoBlocks448, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"sha256", million, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {"sha512", "abc",
       "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
      {"sha512", "",
       "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
      {"sha512", kTwoBlocks896,
       "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"},
      {"sha512", million,
       "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
  };
  for (const HashVector& v : vectors) {
    SCOPED_TRACE(std::string(v.algorithm) + " of " + std::to_string(v.message.size()) + " bytes");
    EXPECT_EQ(digestOf(v.algorithm, v.message), v.digest);
    // One byte at a time through the base class gives the same digest.
    auto h = make(v.algorithm);
    if (v.message.size() < 1000)
      for (char c : v.message) h->update(&c, 1);
    else
      h->update(v.message.data(), v.message.size());
    EXPECT_EQ(digestOf(*h), v.digest);
  }
}

// A fresh object and one that has just produced a digest both start a new
// message by themselves: the empty message, and a message after it.
TEST_P(HashPaths, ObjectsRestartAfterFinal) {
  for (const char* name : {"sha1", "sha256", "sha512"}) {
    SCOPED_TRACE(name);
    auto h = make(name);
    const std::string empty = digestOf(name, "");
    EXPECT_EQ(digestOf(*h), empty);                 // fresh
    h->update("abc", 3);
    EXPECT_EQ(digestOf(*h), digestOf(name, "abc"));
    EXPECT_EQ(digestOf(*h), empty);                 // just finished
    h->update("xyz", 3);
    EXPECT_EQ(digestOf(*h), digestOf(name, "xyz"));  // no explicit reset
    EXPECT_EQ(h->update("", 0).digestSize(), std::string(name) == "sha1" ? 20u : std::string(name) == "sha256" ? 32u : 64u);
  }
}

// Messages around the padding boundaries, checked against OpenSSL.
TEST_P(HashPaths, PaddingBoundariesMatchOpenssl) {
  struct Boundaries {
    const char* name;
    std::vector<size_t> lengths;
  } table[] = {
      {"sha1", {0, 1, 55, 56, 63, 64, 65, 119, 120, 127, 128}},
      {"sha256", {0, 1, 55, 56, 63, 64, 65, 119, 120, 127, 128}},
      {"sha512", {0, 1, 111, 112, 127, 128, 129, 239, 240, 255, 256}},
  };
  for (const Boundaries& b : table)
    for (size_t length : b.lengths) {
      SCOPED_TRACE(std::string(b.name) + " " + std::to_string(length));
      std::string message = randomBytes(length, uint32_t(length));
      EXPECT_EQ(digestOf(b.name, message), opensslDigest(b.name, message));
    }
}

// A random 1 MiB message fed at once, byte by byte and split at random points.
TEST_P(HashPaths, FeedingPatternsMatchOpenssl) {
  const std::string message = randomBytes(1 << 20, 2026);
  std::mt19937 rng(7);
  for (const char* name : {"sha1", "sha256", "sha512"}) {
    SCOPED_TRACE(name);
    const std::string expected = opensslDigest(name, message);
    EXPECT_EQ(digestOf(name, message), expected);

    auto bytewise = make(name);
    for (char c : message) bytewise->update(&c, 1);
    EXPECT_EQ(digestOf(*bytewise), expected);

    auto split = make(name);
    size_t at = 0;
    while (at < message.size()) {
      size_t n = std::min<size_t>(message.size() - at, rng() % 300);
      split->update(message.data() + at, n);  // zero-length pieces included
      at += n;
    }
    EXPECT_EQ(digestOf(*split), expected);
  }
}
