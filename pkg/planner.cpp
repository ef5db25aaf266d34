#include "pkg/planner.h"

#include "pkg/rules.h"

namespace pkg {
namespace {

const char* actionName(PackageAction a) {
  switch (a) {
    case ACTION_UNINSTALL: return "uninstall";
    case ACTION_ENABLE: return "enable";
    case ACTION_DISABLE: return "disable";
    default: return "none";
  }
}

class Planner {
 public:
  Planner(PackageSet& set, int level) : set_(set), level_(level) {}

  void followBundles() {
    for (auto& r : set_.records) {
      if (r->bundle.name.empty()) continue;
      const PackageRecord* bundle = set_.find(r->bundle.name);
      if (!bundle) continue;
      if (bundle->action == ACTION_DISABLE && r->action != ACTION_UNINSTALL) r->action = ACTION_DISABLE;
      else if (bundle->action == ACTION_UNINSTALL) r->action = ACTION_UNINSTALL;
      else if (bundle->action == ACTION_ENABLE && r->disabled) r->action = ACTION_ENABLE;
    }
  }

  // A member that its bundle's kept image lists cannot be uninstalled alone:
  // the image would bring it back at the next run, without its files. When
  // every member goes, the bundle goes with them.
  void keepImageMembers() {
    for (auto& b : set_.records) {
      if (!b->isBundle || b->path.empty() || b->action == ACTION_UNINSTALL) continue;
      bool any = false, all = true;
      for (auto& m : set_.records) {
        if (imageBundleOf(*m) != b.get()) continue;
        any = true;
        all &= m->action == ACTION_UNINSTALL;
      }
      if (any && all) b->action = ACTION_UNINSTALL;
    }
    for (auto& r : set_.records) {
      if (r->action != ACTION_UNINSTALL) continue;
      const PackageRecord* bundle = imageBundleOf(*r);
      if (!bundle || bundle->action == ACTION_UNINSTALL) continue;
      if (level_ >= 1)
        set_.warning("can not uninstall %s: it is part of bundle %s; uninstall the bundle instead",
                     nameVersion(*r).c_str(), nameVersion(*bundle).c_str());
      r->action = ACTION_NONE;
    }
  }

  void pullInNeeds(PackageRecord& c, int depth = 0) {
    if (depth > 1000) return;  // a chain this long can only be a cycle
    if (!c.bundle.name.empty())
      if (PackageRecord* bundle = set_.find(c.bundle.name)) keep(*bundle, c, depth);
    for (const DependencyEntry& e : c.depends) {
      std::vector<PackageRecord*> list = providers(set_, e, true);
      if (providerState(list) == 0) continue;
      if (list.empty()) return;  // nothing can meet it: the cascade deals with c
      list = selectCandidates(set_, list, std::nullopt, false);
      if (list.empty()) continue;  // equal providers dropped each other: skip the dependency
      keep(*list.front(), c, depth);
    }
  }

  void keep(PackageRecord& n, const PackageRecord& dependent, int depth) {
    if (n.action == ACTION_UNINSTALL || n.action == ACTION_DISABLE) {
      if (level_ >= 1)
        set_.warning("can not %s %s: %s depends on it", actionName(n.action), nameVersion(n).c_str(),
                     dependent.name.c_str());
      n.action = ACTION_NONE;
    } else if (!n.disabled) {
      return;
    } else {
      n.action = ACTION_ENABLE;
    }
    pullInNeeds(n, depth + 1);
  }

  void resolveConflicts(PackageRecord& c) {
    bool before = true;  // r stands before c in set order
    for (auto& r : set_.records) {
      if (r.get() == &c) before = false;
      if (r.get() == &c || !willBeEnabled(*r)) continue;
      if (conflictsWith(c, *r)) {
        if (r->action == ACTION_NONE) {
          r->action = ACTION_DISABLE;
        } else if (before && r->action == ACTION_ENABLE && c.action == ACTION_ENABLE) {
          // Both are being enabled and each conflicts with the other: r kept
          // c when its turn came, so c is the later one and is refused, or
          // both would end up enabled.
          refuseEnable(c, *r);
          return;
        }
      } else if (c.action == ACTION_ENABLE && !r->conflictCarrier && conflictsWith(*r, c)) {
        // (A bundle's disable list yields to a package needed by another.)
        if (r->action == ACTION_NONE) {
          r->action = ACTION_DISABLE;
        } else {
          refuseEnable(c, *r);
          return;
        }
      }
    }
  }

  // c cannot be enabled beside r. A c that is enabled already (an "enable"
  // scheduled for an enabled package) would otherwise stay enabled beside
  // what it conflicts with, so it is disabled instead.
  void refuseEnable(PackageRecord& c, const PackageRecord& r) {
    if (level_ >= 1) set_.warning("can not enable %s: %s conflicts with it", c.name.c_str(), nameVersion(r).c_str());
    c.action = c.disabled ? ACTION_NONE : ACTION_DISABLE;
  }

  void cascadeLosses() {
    for (bool changed = true; changed;) {
      changed = false;
      for (auto& r : set_.records) {
        for (const DependencyEntry& e : r->depends) {
          const int s = providerState(providers(set_, e, true));
          const PackageRecord* bundle = imageBundleOf(*r);
          if (s == 1 && bundle && bundle->action != ACTION_UNINSTALL) {
            // Held by its bundle's image: it stays, disabled.
            if (r->action != ACTION_DISABLE && !(r->disabled && r->action == ACTION_NONE)) {
              r->action = ACTION_DISABLE;
              changed = true;
            }
          } else if (s == 1 && r->action != ACTION_UNINSTALL) {
            r->action = ACTION_UNINSTALL;
            if (r->uninstallReason.empty()) r->uninstallReason = "it needs " + e.name + ", which cannot stay";
            changed = true;
          } else if (s == 3 && r->action != ACTION_UNINSTALL && r->action != ACTION_DISABLE &&
                     !(r->disabled && r->action == ACTION_NONE)) {
            r->action = ACTION_DISABLE;
            changed = true;
          }
          if (changed) break;
        }
        if (changed) break;  // start over from the first record
      }
    }
  }

  // The installed bundle whose kept image lists r, if any.
  const PackageRecord* imageBundleOf(const PackageRecord& r) const {
    if (r.bundle.name.empty() || r.path.empty()) return nullptr;
    const PackageRecord* bundle = set_.find(r.bundle.name);
    return bundle && bundle->isBundle && bundle->path == r.path ? bundle : nullptr;
  }

  void settleBundles() {
    for (auto& b : set_.records) {
      if (!b->isBundle || b->action == ACTION_UNINSTALL) continue;
      bool unchanged = false, remaining = false;
      for (auto& m : set_.records) {
        if (isPlaceholder(*m) || m->bundle.name != b->name) continue;
        if ((m->disabled && m->action == ACTION_ENABLE) || (!m->disabled && m->action == ACTION_NONE)) {
          unchanged = true;
          break;
        }
        const bool leaving = m->action == ACTION_UNINSTALL || (!m->disabled && m->action == ACTION_ENABLE);
        if (!leaving) remaining = true;
      }
      if (unchanged) continue;
      if (!remaining || !b->disabled) b->action = ACTION_UNINSTALL;
      else if (b->action == ACTION_ENABLE) b->action = ACTION_NONE;
    }
  }

 private:
  PackageSet& set_;
  int level_;
};

}  // namespace

std::optional<Plan> plan(PackageSet& set, int level) {
  Planner planner(set, level);
  planner.followBundles();
  planner.keepImageMembers();
  for (auto& r : set.records)
    if (willBeEnabled(*r)) planner.pullInNeeds(*r);
  for (auto& r : set.records)
    if (willBeEnabled(*r)) planner.resolveConflicts(*r);
  planner.cascadeLosses();
  planner.settleBundles();

  // A disable list's carrier is never changed, written or removed.
  for (auto& r : set.records)
    if (r->conflictCarrier) r->action = ACTION_NONE;
  bool anyEnabled = false;
  for (auto& r : set.records) anyEnabled |= willBeEnabled(*r) && !r->conflictCarrier;
  if (!set.records.empty() && !anyEnabled) {
    for (auto& r : set.records) r->action = ACTION_NONE;
    if (level >= 1) set.error("can not uninstall or disable all packages");
    return std::nullopt;
  }
  Plan p;
  for (auto it = set.records.rbegin(); it != set.records.rend(); ++it)
    if ((*it)->action == ACTION_UNINSTALL || (*it)->action == ACTION_DISABLE) p.removal.push_back(it->get());
  for (auto& r : set.records)
    if (r->action == ACTION_ENABLE) p.enable.push_back(r.get());
  p.enable = selectCandidates(set, p.enable, std::nullopt, false);
  return p;
}

bool apply(PackageSet& set, Transaction& t, int level) {
  std::optional<Plan> p = plan(set, level);
  if (!p) return false;
  for (PackageRecord* r : p->removal) {
    const std::string shown = nameVersion(*r);
    if (r->action == ACTION_UNINSTALL) {
      // Not asked for by anyone: say so, whatever the level.
      if (!r->uninstallReason.empty()) set.warning("uninstalling %s: %s", shown.c_str(), r->uninstallReason.c_str());
      if (level >= 2) set.status("uninstalling " + shown + "...");
      set.removePackageFiles(*r, t);
      set.take(r);  // destroyed here
      if (level >= 2) set.info("uninstalled %s", shown.c_str());
    } else {
      if (level >= 1) set.status("disabling " + shown + "...");
      set.markDisabled(*r, t);
      if (level >= 1) set.info("disabled %s", shown.c_str());
    }
  }
  for (PackageRecord* r : p->enable) {
    const std::string shown = nameVersion(*r);
    if (level >= 1) set.status("enabling " + shown + "...");
    set.markEnabled(*r, t);
    if (level >= 1) set.info("enabled %s", shown.c_str());
  }
  return !p->removal.empty() || !p->enable.empty();
}

void cleanup(PackageSet& set, Transaction& t) {
  apply(set, t, 0);
  for (auto& r : set.records) {
    if (r->name == "lynx" || r->name == "disk-drivers" || r->name == "system" || r->isBundle || r->conflictCarrier)
      continue;
    bool madeForNewSystems = false;
    for (const DependencyEntry& e : r->depends)
      if (e.name == "system" && e.minimum > 0x031665FF) madeForNewSystems = true;
    if (!madeForNewSystems) r->action = ACTION_UNINSTALL;
  }
  apply(set, t, 1);
}

}  // namespace pkg
