#include "bench/big_package.h"

#include <unistd.h>
#include <zlib.h>

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


int inflateFilePart() {
  FILE* f = fopen(packagePath().c_str(), "rb");
  if (!f) return 1;
  // File header, switch part, header part, files part header.
  fseek(f, long(pkg::FILE_HEADER_SIZE + 3 * pkg::PART_HEADER_SIZE + pkg::HEADER_FULL_SIZE), SEEK_SET);
  z_stream zs{};
  inflateInit(&zs);
  static unsigned char in[4096], out[16384];
  int status = Z_OK;
  while (status != Z_STREAM_END) {
    zs.avail_in = uInt(fread(in, 1, sizeof in, f));
    if (zs.avail_in == 0) break;
    zs.next_in = in;
    while (zs.avail_in > 0 && status != Z_STREAM_END) {
      zs.next_out = out;
      zs.avail_out = sizeof out;
      status = inflate(&zs, Z_NO_FLUSH);
      if (status != Z_OK && status != Z_STREAM_END) break;
    }
    if (status != Z_OK && status != Z_STREAM_END) break;
  }
  inflateEnd(&zs);
  fclose(f);
  return status == Z_STREAM_END ? 0 : 1;
}

}  // namespace qvbench
