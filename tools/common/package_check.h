// What goes onto a medium, or what a server offers, is checked before
// anything is written or served: every package as the installer would read
// it, and a medium's default selection.
#pragma once

#include <string>
#include <vector>

#include "crypto/signature.h"

namespace tools {

struct MediumPackage {
  std::string path;        // on the build host
  std::string fileName;    // at the top of the medium
  std::string name;        // the package's (or bundle's) name
  std::string version;
  int level = 0;           // signature level found
};

struct PackageRules {
  std::string program = "vmedia";  // the prefix of the messages
  cipher::PackageKeys keys;
  bool allowUnsigned = false;  // test media: packages without a signature pass
};

// Each package must parse, verify at the level the system requires of it
// (a missing signature only with allowUnsigned), be built for the installer's
// architecture, end in ".vpk" and have a name and file name no other package
// of the medium has. False after one "PROGRAM: FILE: reason" line per refusal.
[[nodiscard]] bool checkPackages(const std::vector<std::string>& paths, const PackageRules& rules,
                                 std::vector<MediumPackage>& packages);

// Every name in the defpacks file must be a package of the medium.
[[nodiscard]] bool checkDefaultSelection(const std::string& path, const std::vector<MediumPackage>& packages);

}  // namespace tools
