// The installed packages of this system, loaded from the package database
// under /flash/var/pdb/, with the schedules of /ram/pdb/, and the engine's
// console: one status line, messages, and the log of every message printed.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "pkg/package_record.h"
#include "pkg/transaction.h"

namespace pkg {

inline constexpr const char* DATABASE_DIRECTORY = "/flash/var/pdb/";
inline constexpr const char* IMAGES_DIRECTORY = "/rw/pckg/.images/";
inline constexpr const char* SCHEDULE_DIRECTORY = "/ram/pdb/";
inline constexpr const char* BOOT_IMAGE = "/flash/bootimage";

class PackageSet {
 public:
  // The process's set, created on first use.
  static PackageSet& instance();
  PackageSet();

  std::string architecture;
  std::vector<std::unique_ptr<PackageRecord>> records;  // load order, then installation order
  std::vector<std::string> log;
  bool quiet = false;
  // Taken once at start-up; tests set them.
  bool flagged;
  uint32_t minimumVersion;
  FILE* out = stdout;

  void openRepository(bool quiet, const std::string& architecture);
  int findIndex(const std::string& name) const;
  PackageRecord* find(const std::string& name) const;
  void loadState(PackageRecord& record);
  // Meta files and the enabled/disabled files of a freshly installed package.
  [[nodiscard]] bool writeInstalledState(PackageRecord& record, Transaction& t, bool relative);
  void markDisabled(PackageRecord& record, Transaction& t);
  void markEnabled(PackageRecord& record, Transaction& t);
  void removePackageFiles(PackageRecord& record, Transaction& t);
  // Takes the record out of the set and returns it.
  std::unique_ptr<PackageRecord> take(PackageRecord* record);

  void error(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void warning(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void info(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void status(const std::string& text);
  // The installation error for a file that could not be created, by errno.
  void creationError(const PackageRecord& record, const std::string& file);
  void dumpPackages();

 private:
  void message(const char* prefix, bool clearStatus, const char* format, va_list args);
  bool loadImage(const std::string& entry, const std::string& imagePath);

  std::string statusText_;
};

// The states the user chose in a database (an old installation's, before it
// is replaced): "enabled" makes a package enabled, a "disabled" starting with
// "user" disabled; others are not listed.
PackageStates readPackageStates(const std::string& database = DATABASE_DIRECTORY);

// The package's directory in the database, with its trailing '/'.
std::string packageDirectory(const std::string& name);
// The schedule key: the name without characters other than letters, digits and '-'.
std::string scheduleKey(const std::string& name);

}  // namespace pkg
