// Package records for tests of the rules and the planner.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "pkg/package_set.h"
#include "runtime/version.h"

namespace qvtest {

inline uint32_t v(const char* text) { return text[0] ? vl::parseVersion(text) : 0; }

inline pkg::DependencyEntry entry(const std::string& name, const char* minimum = "", const char* maximum = "",
                                  int32_t priority = 0) {
  return {name, v(minimum), v(maximum), priority};
}

struct RecordSpec {
  std::string name;
  const char* version = "6.49";
  uint32_t buildTime = 100;
  std::vector<pkg::DependencyEntry> depends = {};
  std::vector<pkg::DependencyEntry> provides = {};
  std::vector<pkg::DependencyEntry> conflicts = {};
};

inline std::unique_ptr<pkg::PackageRecord> record(const RecordSpec& s) {
  auto r = std::make_unique<pkg::PackageRecord>();
  r->name = s.name;
  r->version = v(s.version);
  r->buildTime = s.buildTime;
  r->depends = s.depends;
  r->provides = s.provides;
  r->conflicts = s.conflicts;
  return r;
}

// A package set whose console writes into a string.
struct CapturedSet {
  pkg::PackageSet set;
  char* buffer = nullptr;
  size_t size = 0;

  CapturedSet() {
    set.out = open_memstream(&buffer, &size);
    set.architecture = "i386";
    set.flagged = false;
    set.minimumVersion = 0;
  }
  ~CapturedSet() {
    fclose(set.out);
    free(buffer);
  }
  std::string output() {
    fflush(set.out);
    return std::string(buffer, size);
  }
  pkg::PackageRecord& add(const RecordSpec& s) {
    set.records.push_back(record(s));
    return *set.records.back();
  }
};

}  // namespace qvtest
