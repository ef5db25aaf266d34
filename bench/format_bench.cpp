// The installer's formatter (as `vdisk format` runs it) against mke2fs with
// the same parameters (4 KiB blocks, 16 KiB per inode, 128-byte inodes, the
// same features and journal size, inode tables and journal zeroed), on sparse
// images of 1 GiB and 64 GiB, measured in the same run.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "bench/ratio_reporter.h"
#include "init/disk/ext2_formatter.h"

namespace {

std::string imagePath() { return std::string(QV_BENCH_DIR) + "/format.img"; }

void freshImage(uint64_t bytes) {
  unlink(imagePath().c_str());
  int fd = open(imagePath().c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (ftruncate(fd, off_t(bytes)) != 0) abort();
  close(fd);
}

void ours(benchmark::State& state) {
  const uint64_t bytes = uint64_t(state.range(0)) << 30;
  for (auto _ : state) {
    state.PauseTiming();
    freshImage(bytes);
    state.ResumeTiming();
    int fd = open(imagePath().c_str(), O_RDWR);
    disk::Ext2Formatter f(fd, bytes, "system", 0, true);
    int p;
    while ((p = f.step()) >= 0 && p <= 100) {
    }
    if (p != 101) {
      state.SkipWithError("formatting failed");
      break;
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
  unlink(imagePath().c_str());
}

void baseline(benchmark::State& state) {
  const uint64_t bytes = uint64_t(state.range(0)) << 30;
  const disk::Ext2Layout layout = disk::Ext2Layout::forSize(bytes, true);
  const std::string command =
      "mke2fs -q -F -t ext3 -b 4096 -i 16384 -I 128 -m 0 -L system"
      " -O ^ext_attr,^metadata_csum,^64bit,^flex_bg,^huge_file,^dir_nlink,^extra_isize,resize_inode,dir_index,"
      "filetype,sparse_super,large_file -E lazy_itable_init=0,lazy_journal_init=0 -J size=" +
      std::to_string(layout.journalBlocks * 4096 >> 20) + " " +
      imagePath() + " >/dev/null 2>&1";
  for (auto _ : state) {
    state.PauseTiming();
    freshImage(bytes);
    state.ResumeTiming();
    if (system(command.c_str()) != 0) {
      state.SkipWithError("mke2fs failed");
      break;
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
  unlink(imagePath().c_str());
}

}  // namespace

BENCHMARK(ours)->Name("format/ours")->Arg(1)->Arg(64)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(baseline)->Name("format/baseline")->Arg(1)->Arg(64)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

int main(int argc, char** argv) { return qvbench::runWithRatios(argc, argv); }
