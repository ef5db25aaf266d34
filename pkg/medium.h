// The packages of an installation medium: the package files at the top of its
// directory, and the chosen ones in the order to install them. Every install
// flow needs these, with or without a menu.
#pragma once

#include <string>
#include <vector>

#include "pkg/package_record.h"

namespace pkg {

enum class MediumScan { OK, NO_PACKAGES, BAD_PACKAGE };

// Every ".vpk" file at the top of the directory, read as the upgrade scan
// reads it (header parts, no signature check), sorted by package name. On
// BAD_PACKAGE, bad names the broken one as far as it could be read.
MediumScan scanMedium(const std::string& directory, std::vector<PackageRecord>& packages, std::string* bad = nullptr);

// The chosen packages as they are to be installed: of two copies of a
// package the newest, each after what it depends on.
std::vector<const PackageRecord*> installOrder(const std::vector<const PackageRecord*>& chosen);

// The same order for package files named one by one (a ready disk image, an
// installation server); false, with the file in bad, when one cannot be read.
[[nodiscard]] bool installOrderOfFiles(const std::vector<std::string>& paths, std::vector<std::string>& ordered,
                                       std::string* bad = nullptr);

}  // namespace pkg
