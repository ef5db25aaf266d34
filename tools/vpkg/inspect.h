// Walks a whole package file (a package, or a bundle and its members) with the
// package reader, for vpkg info, verify and extract.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "crypto/signature.h"
#include "pkg/file_entries.h"
#include "pkg/package_record.h"

namespace vpkg {

struct EntryReport {
  uint16_t mode = 0;
  bool skipMarker = false;
  uint32_t size = 0;
  std::string path;
};

struct PackageReport {
  pkg::PackageRecord record;
  bool hasImage = false;
  uint64_t imageSize = 0;
  bool hasFiles = false;
  std::vector<EntryReport> entries;
  bool hasSignature = false;
  bool sha256 = false;
  int level = 0;
  int required = 2;
  std::vector<int> trailer;  // types of the parts after the signature
};

struct FileReport {
  bool overlay = false;
  uint64_t totalSize = 0;   // as the file header says
  uint64_t sizeOnDisk = 0;
  bool isBundle = false;
  PackageReport bundle;     // the bundle header's parts, for a bundle
  std::vector<pkg::DependencyEntry> disableList;
  std::vector<PackageReport> packages;
};

// Called for every file entry; it may read the entry's data from the stream.
using EntryHandler = std::function<bool(const pkg::FileEntry&, pkg::FileEntryStream&)>;

// False with the reason in why for a file the system would refuse as broken.
bool inspectPackageFile(const std::string& path, const cipher::PackageKeys& keys, FileReport& report,
                        std::string& why, const EntryHandler& onEntry = {});

}  // namespace vpkg
