#include "pkg/rules.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "tests/pkg/records.h"

using namespace pkg;
using qvtest::CapturedSet;
using qvtest::entry;
using qvtest::record;
using qvtest::v;

TEST(Rules, SatisfiesAndProvidesFor) {
  struct Case {
    const char* name;
    const char* version;
    DependencyEntry e;
    bool satisfied;
  } satisfy[] = {
      {"x", "6.40", entry("x"), true},                    // no bounds: any version
      {"x", "1.0", entry("x"), true},
      {"x", "6.40", entry("x", "6.40", "6.40"), true},    // exactly 6.40
      {"x", "6.40.1", entry("x", "6.40", "6.40"), false},
      {"x", "6.39", entry("x", "6.40", "6.40"), false},
      {"x", "6.49", entry("x", "6.40"), true},
      {"x", "7.0", entry("x", "", "6.49"), false},
      {"y", "6.40", entry("x"), false},
  };
  for (const Case& c : satisfy) {
    auto r = record({c.name, c.version});
    EXPECT_EQ(satisfies(*r, c.e), c.satisfied) << c.name << " " << c.version << " for " << c.e.name;
  }
  // Ranges of a provides entry P and a wanted entry E meet unless one lies wholly beyond the other.
  struct Range {
    DependencyEntry provided, wanted;
    bool meets;
  } ranges[] = {
      {entry("dns"), entry("dns"), true},
      {entry("dns", "6.40"), entry("dns", "", "6.39"), false},    // E's maximum below P's minimum
      {entry("dns", "6.40"), entry("dns", "", "6.40"), true},
      {entry("dns", "", "6.40"), entry("dns", "6.41"), false},    // P's maximum below E's minimum
      {entry("dns", "", "6.40"), entry("dns", "6.40"), true},
      {entry("dns", "6.40", "6.45"), entry("dns", "6.44", "7.0"), true},
      {entry("dns"), entry("dhcp"), false},
  };
  for (const Range& c : ranges) {
    auto r = record({"provider", "1.0", 1, {}, {c.provided}});
    EXPECT_EQ(providesFor(*r, c.wanted), c.meets) << c.provided.name << " " << c.wanted.name;
  }
}

TEST(Rules, ConflictsWith) {
  auto plain = [](const char* name) { return record({name}); };
  auto provider = [](const char* name, const char* provides, int priority) {
    return record({name, "6.49", 1, {}, {entry(provides, "", "", priority)}});
  };
  auto high = provider("high", "resolver", 5), low = provider("low", "resolver", 3);
  EXPECT_TRUE(conflictsWith(*high, *low));   // the higher priority pushes the other out
  EXPECT_FALSE(conflictsWith(*low, *high));

  auto a = plain("a");
  auto bProvidesA = provider("b", "a", 0), bProvidesANegative = provider("b", "a", -1);
  EXPECT_FALSE(conflictsWith(*a, *bProvidesA));        // B stands in for A
  EXPECT_TRUE(conflictsWith(*a, *bProvidesANegative));
  auto aProvidesB = provider("a", "b", 0);
  auto b = plain("b");
  EXPECT_TRUE(conflictsWith(*aProvidesB, *b));  // A replaces B

  // Step 2 comes before step 3: a conflict entry satisfied by B itself counts
  // even when B stands in for A; one that only B's provides would meet does not.
  auto aConflictsB = record({"a", "6.49", 1, {}, {}, {entry("b")}});
  EXPECT_TRUE(conflictsWith(*aConflictsB, *bProvidesA));
  auto aConflictsResolver = record({"a", "6.49", 1, {}, {}, {entry("resolver")}});
  auto bProvidesBoth = record({"b", "6.49", 1, {}, {entry("a"), entry("resolver")}});
  EXPECT_FALSE(conflictsWith(*aConflictsResolver, *bProvidesBoth));
  auto bProvidesResolver = provider("b", "resolver", 0);
  EXPECT_TRUE(conflictsWith(*aConflictsResolver, *bProvidesResolver));  // step 5

  // Versions bound a conflict entry.
  auto old = record({"a", "6.49", 1, {}, {}, {entry("b", "", "6.40")}});
  EXPECT_FALSE(conflictsWith(*old, *b));

  // Placeholders never conflict.
  auto placeholder = plain("b");
  placeholder->version = placeholder->buildTime = PLACEHOLDER_VERSION;
  EXPECT_FALSE(conflictsWith(*aConflictsB, *placeholder));

  // Bundles: a member named like A, or a member of A that conflicts.
  auto bundle = plain("suite");
  bundle->members.push_back(plain("a"));
  EXPECT_TRUE(conflictsWith(*a, *bundle));
  auto bundleA = plain("suite");
  bundleA->members.push_back(record({"m", "6.49", 1, {}, {}, {entry("b")}}));
  EXPECT_TRUE(conflictsWith(*bundleA, *b));
}

TEST(Rules, CompareNewerAndMatchesName) {
  auto x = [](const char* name, const char* version, uint32_t time) { return record({name, version, time}); };
  EXPECT_EQ(compareNewer(*x("a", "6.41", 1), *x("a", "6.40", 9)), 1);
  EXPECT_EQ(compareNewer(*x("a", "6.40", 1), *x("a", "6.40", 9)), -1);  // later build is newer
  EXPECT_EQ(compareNewer(*x("a", "6.40", 5), *x("a", "6.40", 5)), 0);
  EXPECT_EQ(compareNewer(*x("a", "7.0", 1), *x("b", "6.0", 1)), 0);     // unrelated
  auto bundle = x("suite", "1.0", 1);
  bundle->members.push_back(x("a", "6.45", 1));
  EXPECT_EQ(compareNewer(*bundle, *x("a", "6.40", 1)), 1);
  EXPECT_EQ(compareNewer(*x("a", "6.49", 1), *bundle), 1);
  EXPECT_TRUE(matchesName(*bundle, "a"));
  EXPECT_TRUE(matchesName(*bundle, "suite"));
  EXPECT_FALSE(matchesName(*bundle, "b"));
}

TEST(Rules, ProvidersAndProviderState) {
  CapturedSet s;
  PackageRecord& a = s.add({"dns-a", "6.49", 1, {}, {entry("dns")}});
  PackageRecord& b = s.add({"dns-b", "6.49", 1, {}, {entry("dns")}});
  PackageRecord& placeholder = s.add({"dns"});
  placeholder.version = placeholder.buildTime = PLACEHOLDER_VERSION;
  b.disabled = true;
  EXPECT_EQ(providers(s.set, entry("dns"), true), (std::vector<PackageRecord*>{&a, &b}));
  EXPECT_EQ(providers(s.set, entry("dns"), false), (std::vector<PackageRecord*>{&a}));
  struct Case {
    PackageAction a;
    bool aDisabled;
    PackageAction b;
    int state;
  } cases[] = {
      {ACTION_NONE, false, ACTION_NONE, 0},
      {ACTION_ENABLE, false, ACTION_NONE, 0},      // staying enabled, as the planner counts it
      {ACTION_DISABLE, false, ACTION_NONE, 3},
      {ACTION_UNINSTALL, false, ACTION_NONE, 3},   // b is disabled
      {ACTION_UNINSTALL, false, ACTION_UNINSTALL, 3},
      {ACTION_UNINSTALL, false, ACTION_ENABLE, 0},
      {ACTION_UNINSTALL, true, ACTION_UNINSTALL, 3},
  };
  for (const Case& c : cases) {
    a.action = c.a;
    a.disabled = c.aDisabled;
    b.action = c.b;
    EXPECT_EQ(providerState(providers(s.set, entry("dns"), true)), c.state) << c.a << " " << c.b;
  }
  EXPECT_EQ(providerState({}), 1);
  a.disabled = false;
  b.disabled = true;
  EXPECT_EQ(findByNameOrProvides(s.set, "dns"), &a);
  a.disabled = true;
  EXPECT_EQ(findByNameOrProvides(s.set, "dns"), &placeholder);  // found by its name, and enabled
  placeholder.disabled = true;
  EXPECT_EQ(findByNameOrProvides(s.set, "dns"), &placeholder);  // the last disabled one found
  placeholder.name = "other";
  EXPECT_EQ(findByNameOrProvides(s.set, "dns"), &b);
  EXPECT_EQ(findByNameOrProvides(s.set, "nothing"), nullptr);
}

struct CheckCase {
  const char* name;
  qvtest::RecordSpec candidate;
  const char* architecture;
  unsigned allowed;
  unsigned result;
  std::string output;
};

// The install check against a small installed set, with every message.
TEST(Rules, CheckInstall) {
  const CheckCase cases[] = {
      {"new package", {"new"}, "", 0, 0, ""},
      {"upgrade", {"app", "6.50"}, "", 0, CHECK_UPGRADE, ""},
      {"downgrade", {"app", "6.48"}, "", 0, CHECK_DOWNGRADE,
       "WARNING: omitting package app-6.48: newer package app-6.49 is already installed\n"},
      {"downgrade allowed", {"app", "6.48"}, "", CHECK_DOWNGRADE, CHECK_DOWNGRADE, ""},
      {"same", {"app", "6.49", 100}, "", 0, CHECK_SAME, "WARNING: omitting package app-6.49: it is already installed\n"},
      {"same build of branding", {"branding", "6.49", 100}, "", 0, 0, ""},
      {"system below the minimum", {"system", "6.48"}, "", 0, CHECK_REFUSED,
       "ERROR: omitting package system-6.48: min Quorvane version is 6.49.3\n"},
      {"quorvane-prefixed name below the minimum", {"quorvane-x", "6.48"}, "", 0, CHECK_REFUSED,
       "ERROR: omitting package quorvane-x-6.48: min Quorvane version is 6.49.3\n"},
      {"short name not held to the minimum", {"quorv", "6.48"}, "", 0, 0, ""},
      {"wrong architecture", {"new"}, "x86_64", 0, CHECK_REFUSED,
       "ERROR: can not install new-6.49: it is not made for i386, but for x86_64\n"},
      {"missing dependency", {"new", "6.49", 1, {entry("routing", "6.40"), entry("nothing")}}, "", 0, CHECK_REFUSED,
       "ERROR: can not install new-6.49: routing-6.40 is not installed, but is required\n"},
      {"dependency on a disabled package", {"new", "6.49", 1, {entry("off")}}, "", 0, CHECK_REFUSED,
       "ERROR: can not install new-6.49: off is not installed, but is required\n"},
      {"dependency met by a provider", {"new", "6.49", 1, {entry("dns")}}, "", 0, 0, ""},
      {"conflict declared by the installed package", {"oldnet"}, "", 0, CHECK_CONFLICT,
       "ERROR: can not install oldnet-6.49: it conflicts with app-6.49\n"},
      {"conflict allowed", {"oldnet"}, "", CHECK_CONFLICT, CHECK_CONFLICT, ""},
      {"first reason only is printed", {"app", "6.48", 1, {entry("nothing")}}, "x86_64", 0, CHECK_DOWNGRADE | CHECK_REFUSED,
       "WARNING: omitting package app-6.48: newer package app-6.49 is already installed\n"},
  };
  for (const CheckCase& c : cases) {
    SCOPED_TRACE(c.name);
    CapturedSet s;
    s.set.minimumVersion = v("6.49.3");
    s.add({"app", "6.49", 100, {}, {}, {entry("oldnet")}});
    s.add({"dnsd", "6.49", 100, {}, {entry("dns")}});
    s.add({"branding", "6.49", 100});
    s.add({"off"}).disabled = true;
    auto candidate = record(c.candidate);
    candidate->architecture = c.architecture;
    EXPECT_EQ(checkInstall(s.set, *candidate, c.allowed), c.result);
    EXPECT_EQ(s.output(), c.output);
  }
}

TEST(Rules, CheckInstallInFlaggedState) {
  CapturedSet s;
  s.set.flagged = true;
  s.add({"app", "6.49", 100});
  auto older = record({"app", "6.50", 50});  // newer version, older build
  EXPECT_EQ(checkInstall(s.set, *older, 0), CHECK_REFUSED | CHECK_CONFLICT | CHECK_UPGRADE);
  EXPECT_EQ(s.output(), "WARNING: cannot install older app-6.50: router in flagged state\n");
}

namespace {

std::vector<std::string> names(const std::vector<PackageRecord*>& list) {
  std::vector<std::string> out;
  for (const PackageRecord* r : list) out.push_back(r->name + "-" + vl::version2string(r->version));
  return out;
}

}  // namespace

TEST(Rules, SelectCandidates) {
  struct Case {
    const char* name;
    std::vector<qvtest::RecordSpec> candidates;
    const char* limit;
    bool flagged;
    std::vector<std::string> result;
    std::string output;
  } cases[] = {
      {"newest wins", {{"a", "6.40"}, {"a", "6.41"}}, "", false, {"a-6.41"},
       "WARNING: omitting package a-6.40: newer package is already provided\n"},
      {"with a limit the oldest at or above it wins", {{"a", "6.40"}, {"a", "6.41"}}, "6.40", false, {"a-6.40"},
       "WARNING: omitting package a-6.41: older package is already provided\n"},
      {"below the limit", {{"a", "6.39"}, {"b", "6.45"}}, "6.40", false, {"b-6.45"},
       "WARNING: ommitting package a-6.39: not allowed\n"},
      {"identical candidates drop each other", {{"a", "6.40"}, {"a", "6.40"}}, "", false, {}, ""},
      {"dependency order", {{"app", "6.49", 1, {entry("system")}}, {"system"}}, "", false, {"system-6.49", "app-6.49"}, ""},
      {"unrelated candidates reverse", {{"a"}, {"b"}, {"c"}}, "", false, {"c-6.49", "b-6.49", "a-6.49"}, ""},
      {"flagged: only the latest build", {{"a", "6.49", 5}, {"b", "6.49", 9}}, "", true, {"b-6.49"},
       "WARNING: ommiting older package a-6.49: router in flagged state\n"},
      // Where inserting after the last match is not enough, the order is repaired.
      {"repair: routing before mpls",
       {{"system"},
        {"ipv6", "6.49", 1, {entry("system")}},
        {"mpls", "6.49", 1, {entry("system"), entry("routing")}},
        {"routing", "6.49", 1, {entry("system"), entry("ipv6")}}},
       "", false, {"system-6.49", "ipv6-6.49", "routing-6.49", "mpls-6.49"}, ""},
      {"repair: wireless before hotspot",
       {{"system"}, {"hotspot", "6.49", 1, {entry("wireless")}}, {"wireless", "6.49", 1, {entry("system")}}},
       "", false, {"system-6.49", "wireless-6.49", "hotspot-6.49"}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CapturedSet s;
    s.set.flagged = c.flagged;
    std::vector<std::unique_ptr<PackageRecord>> owned;
    std::vector<PackageRecord*> list;
    for (const auto& wanted : c.candidates) {
      owned.push_back(record(wanted));
      list.push_back(owned.back().get());
    }
    std::optional<uint32_t> limit;
    if (c.limit[0]) limit = v(c.limit);
    EXPECT_EQ(names(selectCandidates(s.set, list, limit, true)), c.result);
    EXPECT_EQ(s.output(), c.output);
  }
}

// Over random dependency graphs, every package comes after what it depends on.
TEST(Rules, SelectCandidatesOrdersRandomGraphs) {
  std::mt19937 rng(20);
  for (int round = 0; round < 300; ++round) {
    const int n = 2 + int(rng() % 9);
    std::vector<std::unique_ptr<PackageRecord>> owned;
    for (int i = 0; i < n; ++i) {
      auto r = record({"p" + std::to_string(i)});
      for (int j = 0; j < i; ++j)  // edges only to lower numbers: no cycles
        if (rng() % 3 == 0) r->depends.push_back(entry("p" + std::to_string(j)));
      owned.push_back(std::move(r));
    }
    std::shuffle(owned.begin(), owned.end(), rng);
    std::vector<PackageRecord*> list;
    for (auto& r : owned) list.push_back(r.get());
    CapturedSet s;
    std::vector<PackageRecord*> ordered = selectCandidates(s.set, list, std::nullopt, false);
    ASSERT_EQ(ordered.size(), list.size());
    for (size_t i = 0; i < ordered.size(); ++i)
      for (size_t j = i + 1; j < ordered.size(); ++j)
        EXPECT_FALSE(dependsOn(*ordered[i], *ordered[j])) << ordered[i]->name << " before " << ordered[j]->name;
  }
}
