#include "bench/ratio_reporter.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

namespace qvbench {
namespace {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> rates;  // per second: bytes, or items when no bytes are counted

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration) continue;
      double rate = 0;
      auto bytes = run.counters.find("bytes_per_second");
      auto items = run.counters.find("items_per_second");
      if (bytes != run.counters.end()) rate = bytes->second;
      else if (items != run.counters.end()) rate = items->second;
      rates[run.benchmark_name()] = rate;
    }
  }
};

std::string stem(const std::string& name, const std::string& suffix) {
  size_t at = name.find(suffix);
  return at == std::string::npos ? std::string() : name.substr(0, at) + name.substr(at + suffix.size());
}

}  // namespace

int runWithRatios(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printf("\n%-40s %14s %14s %8s\n", "ratio (ours / baseline, same run)", "ours", "baseline", "ratio");
  for (const auto& [name, rate] : reporter.rates) {
    std::string key = stem(name, "/ours");
    if (key.empty()) continue;
    for (const auto& [other, baseline] : reporter.rates) {
      if (stem(other, "/baseline") != key || baseline <= 0) continue;
      const bool bytes = rate > 1e7;
      printf("%-40s %11.1f %s %11.1f %s %7.2fx\n", key.c_str(), bytes ? rate / 1e6 : rate, bytes ? "MB/s" : " /s ",
             bytes ? baseline / 1e6 : baseline, bytes ? "MB/s" : " /s ", rate / baseline);
    }
  }
  benchmark::Shutdown();
  return 0;
}

}  // namespace qvbench
