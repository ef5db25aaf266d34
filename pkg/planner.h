// Turns the actions wished on the installed set (schedules, broken metadata,
// the clean-up rule, new packages) into a consistent plan, and carries it
// out into a transaction.
#pragma once

#include <optional>
#include <vector>

#include "pkg/package_set.h"
#include "pkg/transaction.h"

namespace pkg {

// Message levels: 0 silent, 1 enable and disable steps and refusals, 2 also
// uninstall steps.
struct Plan {
  std::vector<PackageRecord*> removal;  // uninstall and disable, in reverse set order
  std::vector<PackageRecord*> enable;   // in dependency order
};

// None when the plan would leave nothing enabled; every action is then reset.
std::optional<Plan> plan(PackageSet& set, int level);
// Plans and carries out; true when something was planned.
bool apply(PackageSet& set, Transaction& t, int level);
// Applies what is scheduled, then uninstalls every package made for systems
// before 3.22 (except the system itself, its disk drivers, lynx and bundles).
void cleanup(PackageSet& set, Transaction& t);

}  // namespace pkg
