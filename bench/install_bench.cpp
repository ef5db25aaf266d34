// The big package installed by `installer -r ROOT -` and by init's install
// child (fed through its pipe in records, as the flows do), into a root on
// tmpfs and into one on an ext3 image, beside the floor of the same bytes:
// `openssl dgst -sha256`, zlib inflation and one plain copy onto the same
// file system, one after the other, measured in the same run. On ext3 the
// copy ends with a syncfs, as the installer's commit does. Our peak resident
// size is shown as peak_MiB. Ours and the floor alternate (see measuredPairs).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bench/big_package.h"
#include "bench/ratio_reporter.h"
#include "init/flow/install_child.h"

namespace {

const std::string kRoot = std::string(QV_BENCH_DIR) + "/install-root";
const std::string kScratch = std::string(QV_BENCH_DIR) + "/install-scratch";

enum class Target { TMPFS, EXT3 };

// Mounts the target at kRoot (in the caller's private mount namespace) with
// the database directories; the ext3 image lives on a tmpfs, so that the
// host's disk does not take part.
bool mountTarget(Target target) {
  std::filesystem::create_directories(kRoot);
  std::filesystem::create_directories(kScratch);
  if (target == Target::TMPFS) {
    if (mount("bench", kRoot.c_str(), "tmpfs", 0, "size=2g") != 0) return false;
  } else {
    const std::string image = kScratch + "/ext3.img";
    if (mount("bench", kScratch.c_str(), "tmpfs", 0, "size=2g") != 0) return false;
    const std::string commands = "truncate -s 1G " + image + " && mke2fs -q -F -t ext3 " + image +
                                 " >/dev/null 2>&1 && mount -o loop -t ext3 " + image + " " + kRoot;
    if (system(commands.c_str()) != 0) return false;
  }
  for (const char* d : {"/flash/var/pdb", "/ram"}) std::filesystem::create_directories(kRoot + d);
  return true;
}

struct Measure {
  double seconds = 0;
  long peakKiB = 0;  // the largest process the work waited for
  bool ok = false;
};

// In a child with a private mount namespace: the target is mounted, then a
// grandchild does the work and times it (so that neither mke2fs nor mount
// counts in its time or its peak). The work returns 0 on success.
template <class Work>
Measure measureOn(Target target, Work work) {
  auto* shared = static_cast<Measure*>(
      mmap(nullptr, sizeof(Measure), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  *shared = Measure{};
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(90);
    if (!mountTarget(target)) _exit(91);
    pid_t worker = fork();
    if (worker == 0) {
      auto start = std::chrono::steady_clock::now();
      const int result = work();
      shared->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      struct rusage usage;
      getrusage(RUSAGE_CHILDREN, &usage);
      shared->peakKiB = usage.ru_maxrss;
      shared->ok = result == 0;
      _exit(0);
    }
    int status = 0;
    waitpid(worker, &status, 0);
    _exit(0);  // the namespace goes, and with it the mounts and the loop device
  }
  int status = 0;
  waitpid(pid, &status, 0);
  Measure m = *shared;
  munmap(shared, sizeof(Measure));
  return m;
}

int runProgram(const char* path, const char* const* argv, int input) {
  pid_t pid = fork();
  if (pid == 0) {
    if (input >= 0) dup2(input, 0);
    int out = open("/dev/null", O_WRONLY);
    dup2(out, 1);
    execv(path, const_cast<char* const*>(argv));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

int installByInstaller(const char* installer) {
  int in = open(qvbench::packagePath().c_str(), O_RDONLY);
  const char* argv[] = {"installer", "-q", "-r", kRoot.c_str(), "-", nullptr};
  const int result = runProgram(installer, argv, in);
  close(in);
  return result;
}

// As init does it: chrooted into the target, the package streamed into a child.
int installByChild() {
  vl::Fd package(open(qvbench::packagePath().c_str(), O_RDONLY | O_CLOEXEC));
  int out = open("/dev/null", O_WRONLY);
  if (!package.valid() || out < 0 || chroot(kRoot.c_str()) != 0 || chdir("/") != 0) return 1;
  dup2(out, 1);
  std::unique_ptr<pkg::ByteSource> source = flow::packageFileSource(std::move(package));
  const bool ok = flow::installPackages(
      {}, 1, [&](size_t) { return std::move(source); }, {"cannot start", "cannot read"});
  return ok && std::filesystem::exists("/flash/var/pdb/big/version") ? 0 : 1;
}

int floorOfTheSameBytes() {
  const std::string path = qvbench::packagePath();
  const char* digest[] = {"openssl", "dgst", "-sha256", path.c_str(), nullptr};
  if (runProgram("/usr/bin/openssl", digest, -1) != 0 || qvbench::inflateFilePart() != 0) return 1;
  std::filesystem::copy_file(path, kRoot + "/copy");
  int fd = open(kRoot.c_str(), O_RDONLY | O_DIRECTORY);
  const bool synced = syncfs(fd) == 0;
  close(fd);
  return synced ? 0 : 1;
}

int64_t packageBytes() {
  struct stat st;
  return stat(qvbench::packagePath().c_str(), &st) == 0 ? st.st_size : 0;
}

// Ours and the baseline are measured in alternation, an installation then
// the baseline, so that a busy moment of a shared machine falls on both;
// "ours" runs the pairs and keeps the baseline's times, which "baseline"
// then reports.
constexpr int kRounds = 5;
std::map<std::string, std::vector<double>> baselineTimes;

template <class Work, class Baseline>
void measuredPairs(benchmark::State& state, const std::string& what, Target target, Work ours, Baseline baseline) {
  if (!qvbench::makePackage()) return state.SkipWithError("cannot make the package");
  long peak = 0;
  std::vector<double>& baselines = baselineTimes[what];
  for (auto _ : state) {
    const Measure m = measureOn(target, ours);
    const Measure b = measureOn(target, baseline);
    if (!m.ok || !b.ok) return state.SkipWithError(m.ok ? "the baseline failed" : "the installation failed");
    state.SetIterationTime(m.seconds);
    baselines.push_back(b.seconds);
    peak = std::max(peak, m.peakKiB);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * packageBytes());
  state.counters["peak_MiB"] = double(peak) / 1024;
}

void recordedBaseline(benchmark::State& state, const std::string& what) {
  const std::vector<double>& baselines = baselineTimes[what];
  size_t i = 0;
  for (auto _ : state) {
    if (i >= baselines.size()) return state.SkipWithError("the installation was not measured");
    state.SetIterationTime(baselines[i++]);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * packageBytes());
}

template <class Work, class Baseline = int (*)()>
void registerPair(const std::string& what, Target target, Work ours, Baseline baseline = floorOfTheSameBytes) {
  benchmark::RegisterBenchmark((what + "/ours").c_str(),
                               [=](benchmark::State& s) { measuredPairs(s, what, target, ours, baseline); })
      ->UseManualTime()->Iterations(kRounds)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark((what + "/baseline").c_str(), [=](benchmark::State& s) { recordedBaseline(s, what); })
      ->UseManualTime()->Iterations(kRounds)->Unit(benchmark::kMillisecond);
}

int installByThisInstaller() { return installByInstaller(QV_INSTALLER); }

}  // namespace

int main(int argc, char** argv) {
  registerPair("install-stdin-tmpfs", Target::TMPFS, installByThisInstaller);
  registerPair("install-child-tmpfs", Target::TMPFS, installByChild);
  registerPair("install-stdin-ext3", Target::EXT3, installByThisInstaller);
  registerPair("install-child-ext3", Target::EXT3, installByChild);
  // With QV_PREVIOUS_INSTALLER naming another build's installer (an earlier
  // version, say), the same installation by each in one run:
  // "install-vs-previous" is this build's rate over that one's.
  static const char* previous = getenv("QV_PREVIOUS_INSTALLER");
  if (previous)
    registerPair("install-vs-previous", Target::TMPFS, installByThisInstaller,
                 [] { return installByInstaller(previous); });
  return qvbench::runWithRatios(argc, argv);
}
