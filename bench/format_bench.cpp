// The installer's formatter (as `vdisk format` runs it) against mke2fs with
// the same parameters (4 KiB blocks, 16 KiB per inode, 128-byte inodes, the
// same features and journal size, inode tables and journal zeroed), on sparse
// images of 1 GiB and 64 GiB, measured in the same run. First, the bytes its
// percentage line puts on the console.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/ratio_reporter.h"
#include "init/disk/ext2_formatter.h"
#include "runtime/fileutil.h"

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

// The bytes of the percentage line on the console: printed by
// formatWithProgress (when its text changes), against a line after every
// block as it was printed before.
void printConsoleBytes(uint64_t gibibytes) {
  const uint64_t bytes = gibibytes << 30;
  const std::string title = "Formatting data partition";
  freshImage(bytes);
  uint64_t before = 0, linesBefore = 0;
  {
    int fd = open(imagePath().c_str(), O_RDWR);
    disk::Ext2Formatter f(fd, bytes, "system", 0, true);
    int p;
    while ((p = f.step()) >= 0 && p <= 100) {
      before += 1 + title.size() + 1 + std::to_string(p).size() + 1;
      ++linesBefore;
    }
    before += 1 + title.size() + 6;  // "\r<title> 100%\n"
    ++linesBefore;
    close(fd);
  }
  freshImage(bytes);
  const std::string captured = std::string(QV_BENCH_DIR) + "/format-console.txt";
  fflush(stdout);
  const int saved = dup(1);
  const int out = open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(out, 1);
  close(out);
  const bool ok = disk::formatWithProgress(imagePath(), title);
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  const std::string text = vl::readFileText(captured);
  const uint64_t linesNow = uint64_t(std::count(text.begin(), text.end(), '\r'));
  printf("console bytes of the percentage line, %3llu GiB: before %9llu (%6llu lines), now %6zu (%3llu lines)%s\n",
         static_cast<unsigned long long>(gibibytes), static_cast<unsigned long long>(before),
         static_cast<unsigned long long>(linesBefore), text.size(), static_cast<unsigned long long>(linesNow),
         ok ? "" : ", formatting FAILED");
  unlink(captured.c_str());
  unlink(imagePath().c_str());
}

}  // namespace

BENCHMARK(ours)->Name("format/ours")->Arg(1)->Arg(64)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(baseline)->Name("format/baseline")->Arg(1)->Arg(64)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

int main(int argc, char** argv) {
  for (uint64_t gibibytes : {1, 64}) printConsoleBytes(gibibytes);
  return qvbench::runWithRatios(argc, argv);
}
