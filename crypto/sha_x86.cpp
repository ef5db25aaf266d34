#include "crypto/sha_x86.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#define QV_SHA_X86 1
#endif

namespace cipher::x86 {

#ifdef QV_SHA_X86

namespace {

bool detect() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  const bool ssse3 = c & (1u << 9), sse41 = c & (1u << 19);
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  const bool sha = b & (1u << 29);
  return ssse3 && sse41 && sha;
}

bool allowed = true;

}  // namespace

bool haveShaExtensions() {
  static const bool present = detect();
  return present && allowed;
}

void setShaExtensionsAllowed(bool allow) { allowed = allow; }

__attribute__((target("sha,sse4.1,ssse3"))) void sha256Blocks(uint32_t state[8], const uint32_t k[64],
                                                               const uint8_t* data, size_t blocks) {
  const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  // The instructions keep the state as (A, B, E, F) and (C, D, G, H).
  __m128i tmp = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
  __m128i state1 = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
  __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);
  state1 = _mm_blend_epi16(state1, tmp, 0xF0);

  for (; blocks > 0; --blocks, data += 64) {
    const __m128i save0 = state0, save1 = state1;
    __m128i w[4];
    // Unrolled, the four schedule words live in registers; as a loop they
    // went through memory at a variable index (a third slower).
#pragma GCC unroll 16
    for (int group = 0; group < 16; ++group) {
      __m128i& x = w[group % 4];
      if (group < 4) {
        x = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * group)), byteSwap);
      } else {
        // W[t] = sigma1(W[t-2]) + W[t-7] + sigma0(W[t-15]) + W[t-16], four at a time
        const __m128i& x1 = w[(group + 1) % 4];
        const __m128i& x2 = w[(group + 2) % 4];
        const __m128i& x3 = w[(group + 3) % 4];
        x = _mm_sha256msg2_epu32(_mm_add_epi32(_mm_sha256msg1_epu32(x, x1), _mm_alignr_epi8(x3, x2, 4)), x3);
      }
      __m128i message = _mm_add_epi32(x, _mm_loadu_si128(reinterpret_cast<const __m128i*>(k + 4 * group)));
      state1 = _mm_sha256rnds2_epu32(state1, state0, message);
      state0 = _mm_sha256rnds2_epu32(state0, state1, _mm_shuffle_epi32(message, 0x0E));
    }
    state0 = _mm_add_epi32(state0, save0);
    state1 = _mm_add_epi32(state1, save1);
  }

  tmp = _mm_shuffle_epi32(state0, 0x1B);
  state1 = _mm_shuffle_epi32(state1, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(tmp, state1, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(state1, tmp, 8));
}

namespace {

// sha1rnds4 takes its round function as an immediate.
__attribute__((target("sha,sse4.1,ssse3"))) inline __m128i rounds4(__m128i abcd, __m128i e, int function) {
  switch (function) {
    case 0: return _mm_sha1rnds4_epu32(abcd, e, 0);
    case 1: return _mm_sha1rnds4_epu32(abcd, e, 1);
    case 2: return _mm_sha1rnds4_epu32(abcd, e, 2);
    default: return _mm_sha1rnds4_epu32(abcd, e, 3);
  }
}

}  // namespace

__attribute__((target("sha,sse4.1,ssse3"))) void sha1Blocks(uint32_t state[5], const uint8_t* data, size_t blocks) {
  const __m128i byteSwap = _mm_set_epi64x(0x0001020304050607ULL, 0x08090a0b0c0d0e0fULL);
  __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
  __m128i e0 = _mm_set_epi32(int(state[4]), 0, 0, 0);

  for (; blocks > 0; --blocks, data += 64) {
    const __m128i saveAbcd = abcd, saveE = e0;
    __m128i w[4];
    __m128i previous = abcd;
#pragma GCC unroll 20  // the schedule words in registers, the round function an immediate
    for (int group = 0; group < 20; ++group) {
      __m128i& x = w[group % 4];
      if (group < 4) {
        x = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * group)), byteSwap);
      } else {
        // W[t] = rotl1(W[t-3] ^ W[t-8] ^ W[t-14] ^ W[t-16]), four at a time
        x = _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(x, w[(group + 1) % 4]), w[(group + 2) % 4]),
                               w[(group + 3) % 4]);
      }
      __m128i e = group == 0 ? _mm_add_epi32(e0, x) : _mm_sha1nexte_epu32(previous, x);
      previous = abcd;
      abcd = rounds4(abcd, e, group / 5);
    }
    e0 = _mm_sha1nexte_epu32(previous, saveE);
    abcd = _mm_add_epi32(abcd, saveAbcd);
  }

  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1B));
  state[4] = uint32_t(_mm_extract_epi32(e0, 3));
}

#else

bool haveShaExtensions() { return false; }
void setShaExtensionsAllowed(bool) {}
void sha1Blocks(uint32_t*, const uint8_t*, size_t) {}
void sha256Blocks(uint32_t*, const uint32_t*, const uint8_t*, size_t) {}

#endif

}  // namespace cipher::x86
