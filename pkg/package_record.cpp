#include "pkg/package_record.h"

#include "runtime/version.h"

namespace pkg {

std::string nameVersion(const PackageRecord& r) { return r.name + "-" + vl::version2string(r.version); }

std::string displayName(const PackageRecord& r) {
  if (r.bundle.name.empty()) return nameVersion(r);
  if (r.bundle.minimum == 0) return r.bundle.name;
  return r.bundle.name + "-" + vl::version2string(r.bundle.minimum);
}

}  // namespace pkg
