#include "bench/big_package.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>

#include "pkg/package_format.h"
#include "runtime/fileutil.h"
#include "tools/vpkg/package_writer.h"

namespace qvbench {
namespace {
constexpr uint64_t kRandomBytes = 248ull << 20;  // incompressible: most of the file
constexpr uint64_t kTextBytes = 128ull << 20;    // compresses to about 16 MiB

}  // namespace

std::string packagePath() { return std::string(QV_BENCH_DIR) + "/big-package.vpk"; }

// Made once and kept beside the benchmark.
bool makePackage() {
  const std::string path = packagePath();
  if (vl::fileExists(path)) return true;
  const std::string random = std::string(QV_BENCH_DIR) + "/random.bin", text = std::string(QV_BENCH_DIR) + "/text.bin";
  {
    FILE* r = fopen(random.c_str(), "wb");
    FILE* t = fopen(text.c_str(), "wb");
    std::mt19937_64 rng(1);
    std::string line;
    for (uint64_t done = 0; done < kRandomBytes; done += 8) {
      uint64_t v = rng();
      fwrite(&v, 8, 1, r);
    }
    for (uint64_t done = 0; done < kTextBytes;) {
      line = "line " + std::to_string(done) + " of a log file that compresses well\n";
      fwrite(line.data(), 1, line.size(), t);
      done += line.size();
    }
    fclose(r);
    fclose(t);
  }
  vpkg::PrivateKey key{};
  std::string keyBytes = vl::readFileText(QV_SOURCE_DIR "/keys/dev-private.key");
  memcpy(&key, keyBytes.data() + 8, sizeof key);
  vpkg::PackageWriter w;
  uint64_t size = 0;
  FILE* files = vpkg::compressFileEntries(
      {{"data/random.bin", 0100644, false, random, ""}, {"data/text.log", 0100644, false, text, ""}}, size);
  bool ok = files && w.open(path + ".tmp") && w.part(pkg::PART_HASH_SWITCH, "") &&
            w.part(pkg::PART_HEADER, vpkg::headerPayload("big", 0x06316603, 1, 0)) &&
            w.partFromFile(pkg::PART_FILES, files, size) && w.signature(vpkg::SignatureScheme::ED25519, &key) &&
            w.close();
  if (files) fclose(files);
  unlink(random.c_str());
  unlink(text.c_str());
  return ok && rename((path + ".tmp").c_str(), path.c_str()) == 0;
}


}  // namespace qvbench
