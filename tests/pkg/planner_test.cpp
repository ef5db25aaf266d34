#include "pkg/planner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "pkg/rules.h"
#include "tests/pkg/records.h"
#include "tests/support/sandbox.h"

using namespace pkg;
using qvtest::CapturedSet;
using qvtest::entry;
using qvtest::RecordSpec;

namespace {

// Runs fn in a throw-away root holding /flash/var/pdb and /ram, where the
// planner's transaction puts its files.
bool inRoot(const std::function<bool()>& fn) {
  qvtest::TempDir root;
  qvtest::makeDirs(root / "flash/var/pdb");
  qvtest::makeDirs(root / "ram");
  return qvtest::runInRoot(root.path(), fn);
}

std::string statusLine(const std::string& text, size_t previous = 0) {
  std::string s = "\033[?25l\r" + text;
  if (previous > text.size()) s.append(previous - text.size(), ' ');
  return s + "\r\033[?25h";
}
// A status line followed by the message that clears it, as info prints it.
std::string step(const std::string& status, const std::string& message) {
  return statusLine(status) + statusLine("", status.size()) + message + "\n";
}

struct Scenario {
  const char* name;
  std::vector<RecordSpec> records;
  std::vector<std::pair<std::string, PackageAction>> actions;
  std::vector<std::string> disabled;
  int level;
  bool planned;
  std::string output;
  std::vector<std::string> enabledAfter;   // records enabled after apply, in set order
  std::vector<std::string> remainingAfter; // records still in the set
};

std::vector<std::string> enabledNames(const PackageSet& set) {
  std::vector<std::string> out;
  for (const auto& r : set.records)
    if (!r->disabled) out.push_back(r->name);
  return out;
}

std::vector<std::string> allNames(const PackageSet& set) {
  std::vector<std::string> out;
  for (const auto& r : set.records) out.push_back(r->name);
  return out;
}

}  // namespace

TEST(Planner, Scenarios) {
  const Scenario scenarios[] = {
      {"disable what an enabled package needs",
       {{"base"}, {"app", "6.49", 1, {entry("base")}}}, {{"base", ACTION_DISABLE}}, {}, 1, false,
       "WARNING: can not disable base-6.49: app depends on it\n", {"base", "app"}, {"base", "app"}},
      {"uninstall the only provider of a need",
       {{"dnsd", "6.49", 1, {}, {entry("dns")}}, {"app", "6.49", 1, {entry("dns")}}}, {{"dnsd", ACTION_UNINSTALL}}, {}, 1,
       false, "WARNING: can not uninstall dnsd-6.49: app depends on it\n", {"dnsd", "app"}, {"dnsd", "app"}},
      // Nobody asked for it: the engine says why, whatever the level.
      {"a need nobody provides: uninstalled with a warning at level 1",
       {{"base"}, {"app", "6.49", 1, {entry("gone")}}}, {}, {}, 1, true,
       "WARNING: uninstalling app-6.49: it needs gone, which cannot stay\n", {"base"}, {"base"}},
      {"the same at level 2 also reports the uninstall",
       {{"base"}, {"app", "6.49", 1, {entry("gone")}}}, {}, {}, 2, true,
       "WARNING: uninstalling app-6.49: it needs gone, which cannot stay\n" +
           step("uninstalling app-6.49...", "uninstalled app-6.49"), {"base"}, {"base"}},
      {"enabling D pulls in the disabled E it needs",
       {{"base"}, {"e"}, {"d", "6.49", 1, {entry("e")}}}, {{"d", ACTION_ENABLE}}, {"d", "e"}, 1, true,
       step("enabling e-6.49...", "enabled e-6.49") + step("enabling d-6.49...", "enabled d-6.49"),
       {"base", "e", "d"}, {"base", "e", "d"}},
      {"two conflicting enables, the earlier declares: the later is refused",
       {{"base"}, {"a", "6.49", 1, {}, {}, {entry("b")}}, {"b"}}, {{"a", ACTION_ENABLE}, {"b", ACTION_ENABLE}}, {"a", "b"},
       1, true, "WARNING: can not enable b: a-6.49 conflicts with it\n" + step("enabling a-6.49...", "enabled a-6.49"),
       {"base", "a"}, {"base", "a", "b"}},
      {"two conflicting enables, the later declares: the earlier is refused",
       {{"base"}, {"a"}, {"b", "6.49", 1, {}, {}, {entry("a")}}}, {{"a", ACTION_ENABLE}, {"b", ACTION_ENABLE}}, {"a", "b"},
       1, true, "WARNING: can not enable a: b-6.49 conflicts with it\n" + step("enabling b-6.49...", "enabled b-6.49"),
       {"base", "b"}, {"base", "a", "b"}},
      {"both declare: the later is refused, never both",
       {{"base"}, {"a", "6.49", 1, {}, {}, {entry("b")}}, {"b", "6.49", 1, {}, {}, {entry("a")}}},
       {{"a", ACTION_ENABLE}, {"b", ACTION_ENABLE}}, {"a", "b"}, 1, true,
       "WARNING: can not enable b: a-6.49 conflicts with it\n" + step("enabling a-6.49...", "enabled a-6.49"),
       {"base", "a"}, {"base", "a", "b"}},
      {"enabling a package disables what it conflicts with",
       {{"base"}, {"old"}, {"new", "6.49", 1, {}, {}, {entry("old")}}}, {{"new", ACTION_ENABLE}}, {"new"}, 1, true,
       step("disabling old-6.49...", "disabled old-6.49") + step("enabling new-6.49...", "enabled new-6.49"),
       {"base", "new"}, {"base", "old", "new"}},
      {"uninstall everything: refused, nothing changes",
       {{"a"}, {"b"}}, {{"a", ACTION_UNINSTALL}, {"b", ACTION_UNINSTALL}}, {}, 1, false,
       "ERROR: can not uninstall or disable all packages\n", {"a", "b"}, {"a", "b"}},
      {"a bundle whose members all go is uninstalled too",
       {{"base"}, {"suite"}, {"m1"}, {"m2"}}, {{"m1", ACTION_UNINSTALL}, {"m2", ACTION_UNINSTALL}}, {}, 2, true,
       step("uninstalling m2-6.49...", "uninstalled m2-6.49") + step("uninstalling m1-6.49...", "uninstalled m1-6.49") +
           step("uninstalling suite-6.49...", "uninstalled suite-6.49"),
       {"base"}, {"base"}},
  };
  for (const Scenario& s : scenarios) {
    SCOPED_TRACE(s.name);
    EXPECT_TRUE(inRoot([&] {
      CapturedSet c;
      for (const RecordSpec& wanted : s.records) c.add(wanted);
      if (PackageRecord* suite = c.set.find("suite")) {
        suite->isBundle = true;
        for (const char* m : {"m1", "m2"}) c.set.find(m)->bundle = {"suite", suite->version, suite->version, 0};
      }
      for (const auto& [name, action] : s.actions) c.set.find(name)->action = action;
      for (const std::string& name : s.disabled) c.set.find(name)->disabled = true;
      Transaction t;
      EXPECT_EQ(apply(c.set, t, s.level), s.planned);
      EXPECT_EQ(c.output(), s.output);
      EXPECT_EQ(enabledNames(c.set), s.enabledAfter);
      EXPECT_EQ(allNames(c.set), s.remainingAfter);
      if (!s.planned) {
        EXPECT_TRUE(t.isEmpty());
      }
      t.cancel();
      return true;
    }));
  }
}

TEST(Planner, Cleanup) {
  EXPECT_TRUE(inRoot([] {
    CapturedSet c;
    c.add({"system", "6.49"});
    c.add({"lynx"});
    c.add({"disk-drivers"});
    c.add({"new", "6.49", 1, {entry("system", "3.22")}});
    c.add({"newer", "6.49", 1, {entry("system", "6.49")}});
    c.add({"old", "6.49", 1, {entry("system", "3.21")}});
    c.add({"any", "6.49", 1, {entry("system")}});
    c.add({"none"});
    c.add({"suite"}).isBundle = true;
    c.add({"member", "6.49", 1, {entry("system", "6.49")}}).bundle = {"suite", 0, 0, 0};
    Transaction t;
    cleanup(c.set, t);
    EXPECT_EQ(allNames(c.set), (std::vector<std::string>{"system", "lynx", "disk-drivers", "new", "newer", "suite", "member"}));
    EXPECT_EQ(c.output(), "");  // uninstall steps are not reported at level 1
    t.cancel();
    return true;
  }));
}

// Random sets: after apply, no enabled record lacks an enabled provider, no
// two enabled records conflict, a refused plan changes nothing, and the same
// input gives the same plan.
TEST(Planner, RandomSetsStayConsistent) {
  EXPECT_TRUE(inRoot([] {
    std::mt19937 rng(56);
    auto pick = [&](int n) { return int(rng() % unsigned(n)); };
    const char* versions[] = {"6.40", "6.45", "6.49", "7.0"};
    int refused = 0, planned = 0;
    for (int round = 0; round < 400; ++round) {
      std::vector<RecordSpec> wantedList;
      const int n = 3 + pick(8);
      for (int i = 0; i < n; ++i) {
        RecordSpec s{"p" + std::to_string(i), versions[pick(4)], uint32_t(pick(3))};
        for (int d = pick(3); d > 0; --d) {
          int target = pick(n + 2);  // n and n+1 name nobody
          s.depends.push_back(entry("p" + std::to_string(target), pick(3) == 0 ? "6.45" : "", pick(4) == 0 ? "6.49" : ""));
        }
        if (pick(4) == 0) s.provides.push_back(entry(pick(2) ? "svc" : "p" + std::to_string(pick(n)), "", "", pick(7) - 3));
        if (pick(5) == 0) s.conflicts.push_back(entry("p" + std::to_string(pick(n))));
        wantedList.push_back(s);
      }
      std::vector<uint32_t> disabledMask(n), actions(n);
      for (int i = 0; i < n; ++i) {
        disabledMask[i] = pick(4) == 0;
        actions[i] = pick(3) == 0 ? uint32_t(1 + pick(3)) : 0;
      }
      const bool withBundle = pick(3) == 0;
      const bool withPlaceholder = pick(4) == 0;
      auto build = [&](CapturedSet& c) {
        for (int i = 0; i < n; ++i) {
          PackageRecord& r = c.add(wantedList[i]);
          r.disabled = disabledMask[i];
          r.action = PackageAction(actions[i]);
        }
        if (withBundle) {
          PackageRecord& b = c.add({"bundle"});
          b.isBundle = true;
          for (int i = 0; i < n; i += 2) c.set.records[i]->bundle = {"bundle", b.version, b.version, 0};
        }
        if (withPlaceholder) c.set.records[0]->version = c.set.records[0]->buildTime = PLACEHOLDER_VERSION;
      };
      auto planNames = [](CapturedSet& c) {
        std::optional<Plan> p = plan(c.set, 0);
        std::string text = p ? "" : "refused";
        if (p) {
          for (auto* r : p->removal) text += r->name + (r->action == ACTION_UNINSTALL ? "-u " : "-d ");
          for (auto* r : p->enable) text += r->name + "+ ";
        }
        return text;
      };
      CapturedSet first, second;
      build(first);
      build(second);
      EXPECT_EQ(planNames(first), planNames(second)) << "round " << round;

      CapturedSet c;
      build(c);
      std::vector<std::pair<std::string, bool>> before;
      for (auto& r : c.set.records) before.push_back({r->name, r->disabled});
      Transaction t;
      std::optional<Plan> probe = [&] {
        CapturedSet copy;
        build(copy);
        return plan(copy.set, 0);
      }();
      apply(c.set, t, 0);
      if (!probe) {
        ++refused;
        std::vector<std::pair<std::string, bool>> after;
        for (auto& r : c.set.records) after.push_back({r->name, r->disabled});
        EXPECT_EQ(after, before) << "round " << round;
        EXPECT_TRUE(t.isEmpty()) << "round " << round;
        t.cancel();
        continue;
      }
      ++planned;
      for (auto& r : c.set.records) {
        if (r->disabled || isPlaceholder(*r)) continue;
        for (const DependencyEntry& e : r->depends)
          EXPECT_FALSE(providers(c.set, e, false).empty()) << "round " << round << ": " << r->name << " lacks " << e.name;
        for (auto& other : c.set.records) {
          if (other == r || other->disabled) continue;
          EXPECT_FALSE(conflictsWith(*r, *other)) << "round " << round << ": " << r->name << " vs " << other->name << "\n"
                                                  << [&] {
                                                       std::string d;
                                                       for (int i = 0; i < n; ++i) {
                                                         d += wantedList[i].name + " " + wantedList[i].version + " dis=" + std::to_string(disabledMask[i]) + " act=" + std::to_string(actions[i]) + " deps:";
                                                         for (auto& e : wantedList[i].depends) d += " " + e.name + "[" + std::to_string(e.minimum) + "," + std::to_string(e.maximum) + "]";
                                                         d += " prov:";
                                                         for (auto& e : wantedList[i].provides) d += " " + e.name + "(" + std::to_string(e.priority) + ")";
                                                         d += " conf:";
                                                         for (auto& e : wantedList[i].conflicts) d += " " + e.name;
                                                         d += "\n";
                                                       }
                                                       return d + (withBundle ? "bundle\n" : "") + (withPlaceholder ? "placeholder\n" : "");
                                                     }();
        }
      }
      t.cancel();
    }
    EXPECT_GT(refused, 0);
    EXPECT_GT(planned, 100);
    return true;
  }));
}

// A bundle's disable-list carrier is never given an action, never written and
// never uninstalled, whatever the plan around it (its empty name would make
// its package directory the database root).
TEST(Planner, DisableListCarrierIsNeverChanged) {
  EXPECT_TRUE(inRoot([] {
    CapturedSet s;
    s.add({"app", "6.49", 100, {entry("lib")}});
    PackageRecord& lib = s.add({"lib"});
    lib.disabled = true;  // app pulls it back in, though the carrier names it
    s.add({"old", "3.20"});
    auto carrier = std::make_unique<PackageRecord>();
    carrier->conflictCarrier = true;
    carrier->architecture.clear();
    carrier->conflicts.push_back({"lib", 0, 0, 0});
    PackageRecord* c = carrier.get();
    s.set.records.push_back(std::move(carrier));
    Transaction t;
    apply(s.set, t, 1);
    EXPECT_EQ(c->action, ACTION_NONE);
    EXPECT_FALSE(c->disabled);
    cleanup(s.set, t);  // uninstalls "old", which is made for 3.20
    EXPECT_NE(std::find_if(s.set.records.begin(), s.set.records.end(), [&](const auto& r) { return r.get() == c; }),
              s.set.records.end());
    EXPECT_EQ(c->action, ACTION_NONE);
    for (const auto& entry : t.entries()) {
      EXPECT_NE(entry.first, "/flash/var/pdb/");
      EXPECT_NE(entry.first.rfind("/flash/var/pdb//", 0), 0u) << entry.first;
    }
    t.cancel();
    return true;
  }));
}
