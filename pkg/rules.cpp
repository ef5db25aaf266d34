#include "pkg/rules.h"

#include <algorithm>

#include "runtime/version.h"

namespace pkg {

namespace {
const PackageRecord& deref(const PackageRecord* p) { return *p; }
const PackageRecord& deref(const std::unique_ptr<PackageRecord>& p) { return *p; }
}  // namespace

bool satisfies(const PackageRecord& r, const DependencyEntry& e) {
  return r.name == e.name && r.version >= e.minimum && (e.maximum == 0 || r.version <= e.maximum);
}

bool providesFor(const PackageRecord& r, const DependencyEntry& e) {
  for (const DependencyEntry& p : r.provides) {
    if (p.name != e.name) continue;
    const bool belowRange = p.minimum != 0 && e.maximum != 0 && e.maximum < p.minimum;
    const bool aboveRange = p.maximum != 0 && e.minimum != 0 && p.maximum < e.minimum;
    if (!belowRange && !aboveRange) return true;
  }
  return false;
}

bool conflictsWith(const PackageRecord& a, const PackageRecord& b) {
  if (isPlaceholder(a) || isPlaceholder(b)) return false;
  for (const DependencyEntry& e : a.conflicts)
    if (satisfies(b, e)) return true;
  for (const DependencyEntry& q : b.provides)
    if (q.name == a.name) return q.priority < 0;
  for (const DependencyEntry& p : a.provides) {
    if (p.name == b.name) return p.priority >= 0;
    for (const DependencyEntry& q : b.provides)
      if (q.name == p.name) return p.priority > q.priority;
  }
  for (const DependencyEntry& e : a.conflicts)
    if (providesFor(b, e)) return true;
  for (const auto& m : b.members)
    if (m->name == a.name) return true;
  for (const auto& m : a.members)
    if (conflictsWith(*m, b)) return true;
  return false;
}

bool dependsOn(const PackageRecord& a, const PackageRecord& b) {
  for (const DependencyEntry& e : a.depends)
    if (satisfies(b, e) || providesFor(b, e)) return true;
  for (const auto& m : b.members)
    if (dependsOn(a, *m)) return true;
  for (const auto& m : a.members)
    if (dependsOn(*m, b)) return true;
  return false;
}

bool matchesName(const PackageRecord& a, const std::string& name) {
  if (a.name == name) return true;
  for (const auto& m : a.members)
    if (m->name == name) return true;
  return false;
}

namespace {

int newer(const PackageRecord& x, const PackageRecord& y) {
  if (x.version != y.version) return x.version > y.version ? 1 : -1;
  if (x.buildTime != y.buildTime) return x.buildTime > y.buildTime ? 1 : -1;
  return 0;
}

}  // namespace

int compareNewer(const PackageRecord& x, const PackageRecord& y) {
  if (x.name == y.name) return newer(x, y);
  for (const auto& m : x.members)
    if (m->name == y.name) return newer(*m, y);
  for (const auto& m : y.members)
    if (m->name == x.name) return newer(x, *m);
  return 0;
}

std::vector<PackageRecord*> providers(const PackageSet& set, const DependencyEntry& e, bool includeDisabled) {
  std::vector<PackageRecord*> list;
  for (const auto& r : set.records) {
    if (isPlaceholder(*r)) continue;
    if (!satisfies(*r, e) && !providesFor(*r, e)) continue;
    if (!includeDisabled && r->disabled) continue;
    list.push_back(r.get());
  }
  return list;
}

int providerState(const std::vector<PackageRecord*>& list) {
  bool onlyDisabled = false;
  for (const PackageRecord* p : list) {
    if (!p->disabled) {
      // An enabled provider being enabled again stays enabled, as the planner counts it.
      if (p->action == ACTION_NONE || p->action == ACTION_ENABLE) return 0;
      if (p->action == ACTION_DISABLE) onlyDisabled = true;
    } else {
      if (p->action == ACTION_ENABLE) return 0;
      onlyDisabled = true;
    }
  }
  return onlyDisabled ? 3 : 1;
}

PackageRecord* findConflicting(const PackageSet& set, const PackageRecord& c) {
  for (const auto& r : set.records)
    if (!r->disabled && conflictsWith(*r, c)) return r.get();
  return nullptr;
}

PackageRecord* findByNameOrProvides(const PackageSet& set, const std::string& name) {
  PackageRecord* found = nullptr;
  const DependencyEntry entry{name, 0, 0, 0};
  for (const auto& r : set.records) {
    if (r->name != name && !providesFor(*r, entry)) continue;
    found = r.get();
    if (!r->disabled) break;
  }
  return found;
}

unsigned checkInstall(PackageSet& set, const PackageRecord& c, unsigned allowed) {
  allowed |= CHECK_UPGRADE;
  unsigned result = 0;
  bool reported = false;
  const std::string cName = nameVersion(c);
  const PackageRecord* installed = set.find(c.name);
  if (installed && installed->name != "branding") {
    if (set.flagged && c.buildTime < installed->buildTime) {
      set.warning("cannot install older %s: router in flagged state", cName.c_str());
      result = CHECK_REFUSED | CHECK_CONFLICT;
      reported = true;
    }
    const int d = compareNewer(c, *installed);
    if (d < 0) {
      if (!reported && !(allowed & CHECK_DOWNGRADE)) {
        set.warning("omitting package %s: newer package %s is already installed", cName.c_str(),
                    nameVersion(*installed).c_str());
        reported = true;
      }
      result |= CHECK_DOWNGRADE;
    } else if (d > 0) {
      result |= CHECK_UPGRADE;
    } else {
      if (!reported && !(allowed & CHECK_SAME)) {
        set.warning("omitting package %s: it is already installed", cName.c_str());
        reported = true;
      }
      result |= CHECK_SAME;
    }
  }
  if ((c.name == "system" || c.name.compare(0, 8, "quorvane") == 0) && c.version < set.minimumVersion) {
    if (!reported && !(allowed & CHECK_REFUSED)) {
      set.error("omitting package %s: min Quorvane version is %s", cName.c_str(),
                vl::version2string(set.minimumVersion).c_str());
      reported = true;
    }
    result |= CHECK_REFUSED;
  }
  if (!c.architecture.empty() && c.architecture != set.architecture) {
    if (!reported && !(allowed & CHECK_REFUSED)) {
      set.error("can not install %s: it is not made for %s, but for %s", cName.c_str(), set.architecture.c_str(),
                c.architecture.c_str());
      reported = true;
    }
    result |= CHECK_REFUSED;
  }
  for (const DependencyEntry& e : c.depends) {
    if (!providers(set, e, false).empty()) continue;
    if (!reported && !(allowed & CHECK_REFUSED)) {
      std::string needed = e.name;
      if (e.minimum != 0) needed += "-" + vl::version2string(e.minimum);
      set.error("can not install %s: %s is not installed, but is required", cName.c_str(), needed.c_str());
      reported = true;
    }
    result |= CHECK_REFUSED;
    break;
  }
  if (const PackageRecord* q = findConflicting(set, c)) {
    if (!reported && !(allowed & CHECK_CONFLICT))
      set.error("can not install %s: it conflicts with %s", cName.c_str(), nameVersion(*q).c_str());
    result |= CHECK_CONFLICT;
  }
  return result;
}

namespace {

// Whether element must stand before k: k depends on it, or it conflicts with k.
bool mustPrecede(const PackageRecord& element, const PackageRecord& k) {
  return dependsOn(k, element) || conflictsWith(element, k);
}

// After the insertion, an element may still stand before something it
// depends on (the insertion looks only at the last match). Move such
// elements after what they need, keeping the order wherever it is valid:
// repeatedly take the first element all of whose predecessors are placed.
// Cycles keep their insertion order.
template <class Pointer>
void repairOrder(std::vector<Pointer>& result) {
  const size_t n = result.size();
  bool valid = true;
  for (size_t i = 0; i < n && valid; ++i)
    for (size_t j = i + 1; j < n && valid; ++j)
      if (mustPrecede(deref(result[j]), deref(result[i])) && !mustPrecede(deref(result[i]), deref(result[j])))
        valid = false;
  if (valid) return;
  std::vector<bool> placed(n, false);
  std::vector<Pointer> ordered;
  for (size_t round = 0; round < n; ++round) {
    size_t pick = n;
    for (size_t i = 0; i < n && pick == n; ++i) {
      if (placed[i]) continue;
      bool ready = true;
      for (size_t j = 0; j < n && ready; ++j)
        if (j != i && !placed[j] && mustPrecede(deref(result[j]), deref(result[i])) &&
            !mustPrecede(deref(result[i]), deref(result[j])))
          ready = false;
      if (ready) pick = i;
    }
    if (pick == n)  // a cycle of more than two: keep the first unplaced one where it is
      for (size_t i = 0; i < n && pick == n; ++i)
        if (!placed[i]) pick = i;
    placed[pick] = true;
    ordered.push_back(std::move(result[pick]));
  }
  result = std::move(ordered);
}

}  // namespace

template <class Pointer>
std::vector<Pointer> selectCandidates(PackageSet& set, std::vector<Pointer> list, std::optional<uint32_t> limit,
                                      bool messages) {
  std::vector<bool> keep(list.size(), true);
  for (size_t i = 0; i < list.size(); ++i) {
    const PackageRecord& p = deref(list[i]);
    if (limit && p.version < *limit) {
      if (messages) set.warning("ommitting package %s: not allowed", nameVersion(p).c_str());
      keep[i] = false;
      continue;
    }
    for (size_t j = 0; j < list.size() && keep[i]; ++j) {
      if (j == i) continue;
      const PackageRecord& r = deref(list[j]);
      if (set.flagged && r.buildTime > p.buildTime) {
        if (messages) set.warning("ommiting older package %s: router in flagged state", nameVersion(p).c_str());
        keep[i] = false;
      } else if (matchesName(p, r.name) || matchesName(r, p.name)) {
        int d = compareNewer(r, p);
        if (limit) d = -d;
        if (d > 0) {
          if (messages)
            set.warning(limit ? "omitting package %s: older package is already provided"
                              : "omitting package %s: newer package is already provided",
                        nameVersion(p).c_str());
          keep[i] = false;
        } else if (d == 0 && !(p.isBundle && !r.isBundle)) {
          keep[i] = false;
        }
      }
    }
  }
  std::vector<Pointer> result;
  for (size_t i = 0; i < list.size(); ++i) {
    if (!keep[i]) continue;
    const PackageRecord& k = deref(list[i]);
    size_t at = 0;
    for (size_t e = result.size(); e-- > 0;)
      if (mustPrecede(deref(result[e]), k)) {
        at = e + 1;
        break;
      }
    result.insert(result.begin() + std::ptrdiff_t(at), std::move(list[i]));
  }
  repairOrder(result);
  return result;
}

template std::vector<PackageRecord*> selectCandidates(PackageSet&, std::vector<PackageRecord*>,
                                                      std::optional<uint32_t>, bool);
template std::vector<std::unique_ptr<PackageRecord>> selectCandidates(PackageSet&,
                                                                      std::vector<std::unique_ptr<PackageRecord>>,
                                                                      std::optional<uint32_t>, bool);

}  // namespace pkg
