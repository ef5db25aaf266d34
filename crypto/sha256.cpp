// SHA-256, FIPS 180-4 section 6.2. The round function is shared with the older
// signature scheme's hash, which only swaps the two constant tables.
#include <bit>
#include <cstring>

#include "crypto/hash.h"
#include "crypto/sha_x86.h"

namespace cipher {
namespace {

// FIPS 180-4 section 5.3.3: fractional parts of the square roots of the first 8 primes.
constexpr uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                  0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
// FIPS 180-4 section 4.2.2: fractional parts of the cube roots of the first 64 primes.
constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline uint32_t ch(uint32_t x, uint32_t y, uint32_t z) { return (x & y) ^ (~x & z); }
inline uint32_t maj(uint32_t x, uint32_t y, uint32_t z) { return (x & y) ^ (x & z) ^ (y & z); }
inline uint32_t bigSigma0(uint32_t x) { return std::rotr(x, 2) ^ std::rotr(x, 13) ^ std::rotr(x, 22); }
inline uint32_t bigSigma1(uint32_t x) { return std::rotr(x, 6) ^ std::rotr(x, 11) ^ std::rotr(x, 25); }
inline uint32_t sigma0(uint32_t x) { return std::rotr(x, 7) ^ std::rotr(x, 18) ^ (x >> 3); }
inline uint32_t sigma1(uint32_t x) { return std::rotr(x, 17) ^ std::rotr(x, 19) ^ (x >> 10); }

}  // namespace

SHA256::SHA256() : initial(kInitial), constants(kRound) {}
SHA256::SHA256(const uint32_t* initialState, const uint32_t* roundConstants)
    : initial(initialState), constants(roundConstants) {}

void SHA256::reset() { memcpy(state, initial, sizeof state); }

void SHA256::compress() { compressBlocks(buffer, 1); }

void SHA256::compressBlocks(const uint8_t* data, size_t blocks) {
  if (x86::haveShaExtensions()) return x86::sha256Blocks(state, constants, data, blocks);
  for (; blocks > 0; --blocks, data += 64) compressPortable(data);
}

void SHA256::compressPortable(const uint8_t* block) {
  uint32_t w[64];
  for (int t = 0; t < 16; ++t) w[t] = loadBe32(block + 4 * t);
  for (int t = 16; t < 64; ++t) w[t] = sigma1(w[t - 2]) + w[t - 7] + sigma0(w[t - 15]) + w[t - 16];
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  for (int t = 0; t < 64; ++t) {
    uint32_t t1 = h + bigSigma1(e) + ch(e, f, g) + constants[t] + w[t];
    uint32_t t2 = bigSigma0(a) + maj(a, b, c);
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

void SHA256::final(uint8_t* digest) {
  pad();
  for (int i = 0; i < 8; ++i) storeBe32(digest + 4 * i, state[i]);
}

}  // namespace cipher
