// SHA-1, FIPS 180-4 section 6.1.
#include <bit>
#include <cstring>

#include "crypto/hash.h"
#include "crypto/sha_x86.h"

namespace cipher {

void SHA1::reset() {
  static constexpr uint32_t kInitial[5] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};
  memcpy(state, kInitial, sizeof state);
}

void SHA1::compress() { compressBlocks(buffer, 1); }

void SHA1::compressBlocks(const uint8_t* data, size_t blocks) {
  if (x86::haveShaExtensions()) return x86::sha1Blocks(state, data, blocks);
  for (; blocks > 0; --blocks, data += 64) compressPortable(data);
}

void SHA1::compressPortable(const uint8_t* block) {
  uint32_t w[80];
  for (int t = 0; t < 16; ++t) w[t] = loadBe32(block + 4 * t);
  for (int t = 16; t < 80; ++t) w[t] = std::rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
  auto round = [&](uint32_t f, uint32_t k, uint32_t wt) {
    uint32_t temp = std::rotl(a, 5) + f + e + k + wt;
    e = d;
    d = c;
    c = std::rotl(b, 30);
    b = a;
    a = temp;
  };
  for (int t = 0; t < 20; ++t) round((b & c) ^ (~b & d), 0x5a827999, w[t]);            // Ch
  for (int t = 20; t < 40; ++t) round(b ^ c ^ d, 0x6ed9eba1, w[t]);                     // Parity
  for (int t = 40; t < 60; ++t) round((b & c) ^ (b & d) ^ (c & d), 0x8f1bbcdc, w[t]);  // Maj
  for (int t = 60; t < 80; ++t) round(b ^ c ^ d, 0xca62c1d6, w[t]);
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
}

void SHA1::final(uint8_t* digest) {
  pad();
  for (int i = 0; i < 5; ++i) storeBe32(digest + 4 * i, state[i]);
}

}  // namespace cipher
