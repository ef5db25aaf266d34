// The relations between packages (what satisfies a dependency, what
// conflicts, what is newer), the check of one package from a file against the
// installed set, and the selection and ordering of candidate packages.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pkg/package_record.h"
#include "pkg/package_set.h"

namespace pkg {

enum CheckResult : unsigned {
  CHECK_UPGRADE = 0x01,    // an older package of the same name is installed
  CHECK_DOWNGRADE = 0x02,  // a newer one is installed
  CHECK_REFUSED = 0x08,    // below the minimum version, wrong architecture, missing dependency, flagged state
  CHECK_CONFLICT = 0x10,   // an enabled installed package conflicts
  CHECK_SAME = 0x20,       // the same version and build is installed
};

bool satisfies(const PackageRecord& r, const DependencyEntry& e);
bool providesFor(const PackageRecord& r, const DependencyEntry& e);
// Whether A declares (or implies) a conflict with B; not symmetric.
bool conflictsWith(const PackageRecord& a, const PackageRecord& b);
bool dependsOn(const PackageRecord& a, const PackageRecord& b);
bool matchesName(const PackageRecord& a, const std::string& name);
// +1 when X is newer, -1 when Y is, 0 when equal or unrelated.
int compareNewer(const PackageRecord& x, const PackageRecord& y);

std::vector<PackageRecord*> providers(const PackageSet& set, const DependencyEntry& e, bool includeDisabled);
// 0: a provider stays enabled; 3: only disabled providers remain; 1: none.
int providerState(const std::vector<PackageRecord*>& list);
PackageRecord* findConflicting(const PackageSet& set, const PackageRecord& c);
PackageRecord* findByNameOrProvides(const PackageSet& set, const std::string& name);

// The check of a package from a file; messages go through the set, at most
// one per check, none for allowed reasons.
unsigned checkInstall(PackageSet& set, const PackageRecord& c, unsigned allowed);

// Filters the candidates (the newest of each name, or the oldest at or above
// a limit; in flagged state only the latest builds) and orders them so that
// each comes after what it depends on and what conflicts with it. Messages,
// when on, go through the set.
template <class Pointer>
std::vector<Pointer> selectCandidates(PackageSet& set, std::vector<Pointer> list, std::optional<uint32_t> limit,
                                      bool messages);

}  // namespace pkg
