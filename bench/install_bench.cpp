// `installer -r ROOT -` installing the big package into a root on tmpfs, beside
// the same bytes through `openssl dgst -sha256`, zlib inflation and a plain
// copy onto the same tmpfs, measured in the same run.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench/big_package.h"
#include "bench/ratio_reporter.h"

namespace {

const std::string kRoot = std::string(QV_BENCH_DIR) + "/install-root";

// A private mount namespace with a fresh tmpfs root holding the database
// directories; then fn.
template <class Fn>
int inTmpfsRoot(Fn fn) {
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 90;
  std::filesystem::create_directories(kRoot);
  if (mount("bench", kRoot.c_str(), "tmpfs", 0, "size=2g") != 0) return 91;
  for (const char* d : {"/flash/var/pdb", "/ram"}) std::filesystem::create_directories(kRoot + d);
  return fn();
}

int installPackage(const char* installer) {
  return inTmpfsRoot([installer] {
    int in = open(qvbench::packagePath().c_str(), O_RDONLY);
    int out = open("/dev/null", O_WRONLY);
    pid_t pid = fork();
    if (pid == 0) {
      dup2(in, 0);
      dup2(out, 1);
      execl(installer, "installer", "-q", "-r", kRoot.c_str(), "-", static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
  });
}

int copyToTmpfs() {
  return inTmpfsRoot([] {
    std::filesystem::copy_file(qvbench::packagePath(), kRoot + "/copy");
    return 0;
  });
}

int64_t packageBytes() {
  struct stat st;
  return stat(qvbench::packagePath().c_str(), &st) == 0 ? st.st_size : 0;
}

void installWith(benchmark::State& state, const char* installer) {
  if (!qvbench::makePackage()) return state.SkipWithError("cannot make the package");
  for (auto _ : state) {
    double seconds;
    long peak;
    if (!qvbench::inChild([installer] { return installPackage(installer); }, seconds, peak))
      return state.SkipWithError("installation failed");
    state.SetIterationTime(seconds);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * packageBytes());
}

void ours(benchmark::State& state) { installWith(state, QV_INSTALLER); }

void baseline(benchmark::State& state) {
  if (!qvbench::makePackage()) return state.SkipWithError("cannot make the package");
  const std::string path = qvbench::packagePath();
  for (auto _ : state) {
    double digest, inflation, copy;
    long peak;
    qvbench::inChild([&] {
      execlp("sh", "sh", "-c", ("openssl dgst -sha256 " + path + " >/dev/null").c_str(), nullptr);
      return 127;
    }, digest, peak);
    qvbench::inChild(qvbench::inflateFilePart, inflation, peak);
    qvbench::inChild(copyToTmpfs, copy, peak);
    state.SetIterationTime(digest + inflation + copy);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * packageBytes());
}

}  // namespace

BENCHMARK(ours)->Name("install-256MiB/ours")->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(baseline)->Name("install-256MiB/baseline")->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  // With QV_PREVIOUS_INSTALLER naming another build's installer (an earlier
  // version, say), the same installation by each in one run:
  // "install-vs-previous" is this build's rate over that one's.
  if (const char* previous = getenv("QV_PREVIOUS_INSTALLER")) {
    benchmark::RegisterBenchmark("install-vs-previous/baseline", [previous](benchmark::State& s) { installWith(s, previous); })
        ->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("install-vs-previous/ours", [](benchmark::State& s) { installWith(s, QV_INSTALLER); })
        ->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
  }
  return qvbench::runWithRatios(argc, argv);
}
