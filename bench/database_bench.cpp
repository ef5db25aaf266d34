// The package database at scale: 1,000 installed packages (40 bundles of 5
// members among them, the rest needing "system"; 10 files each) in a root on
// tmpfs. `installer --show`, and a plain run with one scheduled action, beside
// the time to read the same database files alone, measured in the same run.
// Each must finish in under a second. Needs root (a private mount namespace).
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "bench/ratio_reporter.h"
#include "pkg/package_set.h"
#include "runtime/fileutil.h"

namespace {

const std::string kRoot = std::string(QV_BENCH_DIR) + "/database-root";
constexpr int kPackages = 1000, kBundles = 40, kMembers = 5, kFiles = 10;

bool write(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  return vl::writeTextFile(path, text);
}

// The database as the engine writes it, and the files it lists.
bool makeDatabase() {
  const std::string pdb = kRoot + "/flash/var/pdb/";
  for (int i = 0; i < kPackages; ++i) {
    const int bundle = i / kMembers;
    const bool member = bundle < kBundles;
    const std::string name = i == 0 ? "system" : "pkg" + std::to_string(i);
    const std::string d = pdb + name + "/";
    std::string files;
    for (int f = 0; f < kFiles; ++f) {
      const std::string path = "/flash/" + name + "/file" + std::to_string(f);
      files += path + "\n";
      if (!write(kRoot + path, "content of " + path + "\n")) return false;
    }
    if (!write(d + "version", "104685312 1700000000\n") ||
        !write(d + "deps", i == 0 ? "" : "system 0 4294967295\n") || !write(d + "files", files))
      return false;
    if (member && i % kMembers == 0 && !write(pdb + "suite" + std::to_string(bundle) + "/version", "104685312 1\n"))
      return false;  // the bundle: no files list
    if (member && !write(d + "bundle", "suite" + std::to_string(bundle) + "\n")) return false;
  }
  return true;
}

void readAll(const std::string& dir, uint64_t& bytes) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = dir + "/" + name;
    if (e->d_type == DT_DIR) readAll(path, bytes);
    else bytes += vl::readFileText(path).size();
  }
  closedir(d);
}

int runInstaller(const std::vector<std::string>& arguments) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<char*> argv = {const_cast<char*>("installer")};
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(QV_INSTALLER, argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

void show(benchmark::State& state) {
  for (auto _ : state)
    if (runInstaller({"-r", kRoot, "--show"}) != 0) return state.SkipWithError("installer --show failed");
  state.SetItemsProcessed(int64_t(state.iterations()) * kPackages);
}

void scheduledRun(benchmark::State& state) {
  const std::string schedule =
      kRoot + pkg::SCHEDULE_DIRECTORY + pkg::scheduleKey("pkg" + std::to_string(kPackages - 1)) + "/schedule";
  for (auto _ : state) {
    state.PauseTiming();
    write(schedule, "disable\n");
    state.ResumeTiming();
    if (runInstaller({"-q", "-r", kRoot}) != 0) return state.SkipWithError("installer failed");
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kPackages);
}

void readAlone(benchmark::State& state) {
  uint64_t bytes = 0;
  for (auto _ : state) readAll(kRoot + "/flash/var/pdb", bytes);
  benchmark::DoNotOptimize(bytes);
  state.SetItemsProcessed(int64_t(state.iterations()) * kPackages);
}

}  // namespace

BENCHMARK(show)->Name("database-show/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(readAlone)->Name("database-show/baseline")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(scheduledRun)->Name("database-run/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(readAlone)->Name("database-run/baseline")->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
  if (geteuid() != 0) {
    fprintf(stderr, "database_bench: a private mount namespace needs root\n");
    return 0;
  }
  std::filesystem::create_directories(kRoot);
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("bench", kRoot.c_str(), "tmpfs", 0, "size=512m") != 0) {
    perror("database_bench: tmpfs root");
    return 1;
  }
  for (const char* d : {"/flash/var/pdb", "/ram/pdb"}) std::filesystem::create_directories(kRoot + d);
  if (!makeDatabase()) {
    fprintf(stderr, "database_bench: cannot write the database\n");
    return 1;
  }
  // The engine takes the whole database: every package is listed.
  FILE* listing = popen((std::string(QV_INSTALLER) + " -r " + kRoot + " --show").c_str(), "r");
  int lines = 0;
  for (int c; listing && (c = fgetc(listing)) != EOF;) lines += c == '\n';
  if (!listing || pclose(listing) != 0 || lines < kPackages) {
    fprintf(stderr, "database_bench: installer --show listed %d lines for %d packages\n", lines, kPackages);
    return 1;
  }
  return qvbench::runWithRatios(argc, argv);
}
