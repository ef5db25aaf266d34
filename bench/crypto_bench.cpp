// Hash throughput and Ed25519 verifications per second, ours beside
// OpenSSL's (libcrypto, with whatever assembly and CPU extensions it uses).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <memory>
#include <random>
#include <string>

#include "bench/ratio_reporter.h"
#include "crypto/ed25519.h"
#include "crypto/hash.h"
#include "crypto/sign/sign.h"

namespace {

const std::string& message() {
  static const std::string m = [] {
    std::string s(1 << 20, '\0');
    std::mt19937 rng(1);
    for (char& c : s) c = char(rng());
    return s;
  }();
  return m;
}

template <class H>
void ours(benchmark::State& state) {
  const std::string& m = message();
  uint8_t digest[64];
  H h;
  for (auto _ : state) {
    h.update(m.data(), m.size());
    h.final(digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(m.size()));
}

void baseline(benchmark::State& state, const EVP_MD* md) {
  const std::string& m = message();
  unsigned char digest[64];
  unsigned int length = 0;
  for (auto _ : state) {
    EVP_Digest(m.data(), m.size(), digest, &length, md, nullptr);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(m.size()));
}

struct SignedMessage {
  uint8_t seed[32], key[32], signature[64];
  std::string text = "a package digest area of 32 bytes";
  SignedMessage() {
    for (int i = 0; i < 32; ++i) seed[i] = uint8_t(i * 13 + 1);
    eddsa::publicKeyFromSeed(key, seed);
    eddsa::sign(signature, seed, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  }
};

void ed25519Ours(benchmark::State& state) {
  SignedMessage s;
  auto* m = reinterpret_cast<const uint8_t*>(s.text.data());
  for (auto _ : state) {
    bool ok = eddsa::verify({s.key, s.key + 32}, {m, m + s.text.size()}, {s.signature, s.signature + 64});
    if (!ok) state.SkipWithError("verification failed");
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
}

void ed25519Baseline(benchmark::State& state) {
  SignedMessage s;
  EVP_PKEY* key = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, s.key, 32);
  for (auto _ : state) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, key);
    int ok = EVP_DigestVerify(ctx, s.signature, 64, reinterpret_cast<const unsigned char*>(s.text.data()), s.text.size());
    EVP_MD_CTX_free(ctx);
    if (ok != 1) state.SkipWithError("verification failed");
  }
  EVP_PKEY_free(key);
  state.SetItemsProcessed(int64_t(state.iterations()));
}

}  // namespace

BENCHMARK(ours<cipher::SHA1>)->Name("sha1/ours");
BENCHMARK_CAPTURE(baseline, sha1, EVP_sha1())->Name("sha1/baseline");
BENCHMARK(ours<cipher::SHA256>)->Name("sha256/ours");
BENCHMARK_CAPTURE(baseline, sha256, EVP_sha256())->Name("sha256/baseline");
BENCHMARK(ours<cipher::SHA512>)->Name("sha512/ours");
BENCHMARK_CAPTURE(baseline, sha512, EVP_sha512())->Name("sha512/baseline");
BENCHMARK(ed25519Ours)->Name("ed25519-verify/ours");
BENCHMARK(ed25519Baseline)->Name("ed25519-verify/baseline");

int main(int argc, char** argv) { return qvbench::runWithRatios(argc, argv); }
