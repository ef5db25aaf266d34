#include "pkg/medium.h"

#include <algorithm>

#include "pkg/package_parse.h"
#include "pkg/package_set.h"
#include "pkg/rules.h"
#include "runtime/fileutil.h"

namespace pkg {

MediumScan scanMedium(const std::string& directory, std::vector<PackageRecord>& packages, std::string* bad) {
  packages.clear();
  std::vector<std::string> paths = vl::listDirectory(directory, false, false);
  std::sort(paths.begin(), paths.end());  // the same order whatever the file system lists
  for (const std::string& path : paths) {
    if (path.size() < 4 || path.compare(path.size() - 4, 4, ".vpk") != 0) continue;
    packages.emplace_back();
    if (!scanPackageFile(path, packages.back())) {
      if (bad) *bad = nameVersion(packages.back());
      return MediumScan::BAD_PACKAGE;
    }
  }
  if (packages.empty()) return MediumScan::NO_PACKAGES;
  std::stable_sort(packages.begin(), packages.end(),
                   [](const PackageRecord& a, const PackageRecord& b) { return a.name < b.name; });
  return MediumScan::OK;
}

std::vector<const PackageRecord*> installOrder(const std::vector<const PackageRecord*>& chosen) {
  std::vector<PackageRecord*> list;
  for (const PackageRecord* r : chosen) list.push_back(const_cast<PackageRecord*>(r));
  PackageSet empty;  // a new system: nothing is installed yet
  // No version limit: of two copies the newest wins.
  std::vector<PackageRecord*> ordered = selectCandidates(empty, list, std::nullopt, true);
  return {ordered.begin(), ordered.end()};
}

bool installOrderOfFiles(const std::vector<std::string>& paths, std::vector<std::string>& ordered, std::string* bad) {
  std::vector<PackageRecord> records(paths.size());
  std::vector<const PackageRecord*> chosen;
  for (size_t i = 0; i < paths.size(); ++i) {
    if (!scanPackageFile(paths[i], records[i])) {
      if (bad) *bad = paths[i];
      return false;
    }
    records[i].path = paths[i];
    chosen.push_back(&records[i]);
  }
  ordered.clear();
  for (const PackageRecord* r : installOrder(chosen)) ordered.push_back(r->path);
  return true;
}

}  // namespace pkg
