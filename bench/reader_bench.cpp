// A package of about 256 MiB (random and compressible files, SHA-256, Ed25519) read
// through the package reader in one pass: unpacked to nowhere and verified,
// in a child process whose peak resident size is reported. The baseline is
// the same bytes through `openssl dgst -sha256` plus zlib inflation of the
// file part, measured in the same run.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <cstdio>
#include <random>
#include <string>

#include "bench/big_package.h"
#include "bench/ratio_reporter.h"
#include "pkg/file_entries.h"
#include "pkg/package_parse.h"
#include "pkg/part_reader.h"
#include "runtime/fileutil.h"
#include "tools/vpkg/package_writer.h"

using qvbench::makePackage;
using qvbench::inChild;
using qvbench::packagePath;

namespace {

// The reader's whole pass, as installation makes it.
int readerPass(const std::string& path) {
  using namespace pkg;
  int fd = open(path.c_str(), O_RDONLY);
  FdSource input(fd);
  PartReader reader;
  if (!reader.open(input, true)) return 1;
  int level = 0;
  for (int type = reader.nextPart(INSTALL_PARTS); type >= 0; type = reader.nextPart()) {
    if (type == PART_HEADER) {
      PackageRecord record;
      if (!parseHeaderParts(record, reader)) return 1;
      if ((type = reader.currentType()) < 0) break;
    }
    if (type == PART_FILES) {
      FileEntryStream stream(reader);
      FileEntry entry;
      uint8_t block[FILE_DATA_BLOCK_SIZE];
      while (stream.next(entry))
        while (stream.readData(block, sizeof block) > 0) {
        }
    } else if (type == PART_SIGNATURE) {
      level = reader.verifyPackageSignature();
    }
  }
  close(fd);
  return level == 2 ? 0 : 2;
}

void ours(benchmark::State& state) {
  if (!makePackage()) return state.SkipWithError("cannot make the package");
  long worstKiB = 0;
  for (auto _ : state) {
    double seconds;
    long peak;
    if (!inChild([] { return readerPass(packagePath()); }, seconds, peak)) return state.SkipWithError("read failed");
    state.SetIterationTime(seconds);
    worstKiB = std::max(worstKiB, peak);
  }
  struct stat st;
  stat(packagePath().c_str(), &st);
  state.SetBytesProcessed(int64_t(state.iterations()) * st.st_size);
  state.counters["peak_rss_MiB"] = double(worstKiB) / 1024;
  if (worstKiB >= 16 * 1024) state.SkipWithError("peak resident size 16 MiB or more");
}

// openssl dgst -sha256 over the file, then zlib inflation of the file part.
void baseline(benchmark::State& state) {
  if (!makePackage()) return state.SkipWithError("cannot make the package");
  const std::string path = packagePath();
  for (auto _ : state) {
    double digestSeconds, inflateSeconds;
    long peak;
    inChild([&] {
      execlp("sh", "sh", "-c", ("openssl dgst -sha256 " + path + " >/dev/null").c_str(), nullptr);
      return 127;
    }, digestSeconds, peak);
    inChild(qvbench::inflateFilePart, inflateSeconds, peak);
    state.SetIterationTime(digestSeconds + inflateSeconds);
  }
  struct stat st;
  stat(path.c_str(), &st);
  state.SetBytesProcessed(int64_t(state.iterations()) * st.st_size);
}

}  // namespace

BENCHMARK(ours)->Name("package-256MiB-read/ours")->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(baseline)->Name("package-256MiB-read/baseline")->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) { return qvbench::runWithRatios(argc, argv); }
