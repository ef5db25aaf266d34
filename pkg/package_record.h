// One package, as read from a package file or from the package database.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "pkg/dependency.h"

namespace pkg {

enum PackageAction : uint8_t { ACTION_NONE = 0, ACTION_UNINSTALL = 1, ACTION_ENABLE = 2, ACTION_DISABLE = 3 };

inline constexpr const char* DEFAULT_ARCHITECTURE = "i386";

// Package name -> disabled, for the packages whose state the user chose: kept
// from an old installation and handed to the install, or taken from the set.
using PackageStates = std::map<std::string, bool>;

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
  // Installed as the boot image: its package file becomes /flash/bootimage
  // instead of being unpacked.
  bool bootImage = false;
  std::vector<DependencyEntry> depends;
  std::vector<DependencyEntry> provides;
  std::vector<DependencyEntry> conflicts;
  bool isBundle = false;
  bool imageBroken = false;  // a bundle whose kept image holds a member that cannot be read
  std::vector<std::unique_ptr<PackageRecord>> members;  // filled by the upgrade scan only
  std::set<std::string> files;
  DependencyEntry bundle;  // empty name: standalone
  bool disabled = false;
  bool userForced = false;
  PackageAction action = ACTION_NONE;
  // Why the engine itself uninstalls the package, when it does (its database
  // entry cannot be read, or a package it needs goes): told when it happens.
  std::string uninstallReason;

  // A record made for a bundle's disable list: it carries one conflict entry
  // so that the planner disables the named package, and is never written,
  // listed or uninstalled.
  bool conflictCarrier = false;

  // The package file the record was read from: a candidate of the upgrade
  // scan, or the installed image.
  std::string path;
  uint64_t totalSize = 0;
  bool overlay = false;
};

inline constexpr uint32_t PLACEHOLDER_VERSION = 0xFFFFFFFF;

// Version and build time both 0xFFFFFFFF: never conflicts, never satisfies,
// never provides.
inline bool isPlaceholder(const PackageRecord& r) {
  return r.version == PLACEHOLDER_VERSION && r.buildTime == PLACEHOLDER_VERSION;
}
inline bool willBeEnabled(const PackageRecord& r) {
  return r.action == ACTION_ENABLE || (r.action == ACTION_NONE && !r.disabled);
}
// The package file is kept as the package's image, the source of its
// metadata in the database.
inline bool keepsImage(const PackageRecord& r) { return r.imageBased || r.bootImage; }
// name-version, as messages show a package.
std::string nameVersion(const PackageRecord& r);
// The bundle's name and version for a bundle member, else nameVersion.
std::string displayName(const PackageRecord& r);

}  // namespace pkg
