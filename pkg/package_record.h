// One package, as read from a package file or from the package database.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "pkg/dependency.h"

namespace pkg {

enum PackageAction : uint8_t { ACTION_NONE = 0, ACTION_UNINSTALL = 1, ACTION_ENABLE = 2, ACTION_DISABLE = 3 };

inline constexpr const char* DEFAULT_ARCHITECTURE = "i386";

struct PackageRecord {
  std::string name;
  uint32_t version = 0;
  uint32_t buildTime = 0;
  uint32_t flags = 0;
  std::string textB;
  std::string architecture = DEFAULT_ARCHITECTURE;
  std::string textA;  // description
  std::string note;
  bool imageBased = false;
  std::vector<DependencyEntry> depends;
  std::vector<DependencyEntry> provides;
  std::vector<DependencyEntry> conflicts;
  bool isBundle = false;
  std::vector<std::unique_ptr<PackageRecord>> members;  // filled by the upgrade scan only
  std::set<std::string> files;
  DependencyEntry bundle;  // empty name: standalone
  bool disabled = false;
  bool userForced = false;
  PackageAction action = ACTION_NONE;

  // Where the record was scanned from, for the upgrade scan.
  std::string path;
  uint64_t totalSize = 0;
  bool overlay = false;
};

}  // namespace pkg
