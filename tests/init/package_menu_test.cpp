// The package menu: the offered list read from a medium, the screen as a
// terminal shows it, the keys, and the install order.
#include "init/console/package_menu.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/pkg/package_fixture.h"
#include "tests/support/sandbox.h"
#include "tests/support/terminal.h"

using qvtest::PtySession;
using qvtest::TempDir;
using qvtest::writeFile;

namespace {

struct Offer {
  std::string file;
  std::string name;
  std::vector<std::string> depends;
  uint32_t version = 0x06316603;
};

void writeMedium(const TempDir& medium, const std::vector<Offer>& offers, const std::string& defpacks = "") {
  for (const Offer& o : offers) {
    qvtest::SmallPackage p;
    p.name = o.name;
    p.version = o.version;
    p.description = "The " + o.name + " package.";
    p.depends.clear();
    for (const std::string& d : o.depends) p.depends.push_back({d, 0, 0, 0});
    qvtest::writeSmallPackage(medium / o.file, p);
  }
  if (!defpacks.empty()) writeFile(medium / "defpacks", defpacks);
}

std::string names(const console::PackageMenu& menu, bool selectedOnly = false) {
  std::string out;
  for (const console::OfferedPackage& p : menu.items)
    if (!selectedOnly || p.selected) out += (out.empty() ? "" : " ") + p.record.name;
  return out;
}

Offer offer(const std::string& name, std::vector<std::string> depends = {}) { return {name + ".vpk", name, depends}; }

struct LoadCase {
  const char* name;
  std::vector<Offer> offers;
  std::vector<std::string> otherFiles;
  std::string defpacks;
  bool loaded;
  std::string order;
  std::string selected;
  std::string message;
};

}  // namespace

TEST(PackageMenu, OfferedPackagesFromTheMedium) {
  const std::string longWord(200, 'x');
  const LoadCase cases[] = {
      {"the fixed names lead, each at its own index",
       {offer("ipv6"), offer("system"), offer("dhcp"), offer("wireless")}, {"readme.txt", "abc", "x.VPK"}, "", true,
       "system ipv6 dhcp wireless", "", ""},
      {"ppp goes to index 1 even without system", {offer("zeta"), offer("ppp"), offer("apple")}, {}, "", true,
       "apple ppp zeta", "", ""},
      {"a fixed name past the end of a short list goes to its end", {offer("zeta"), offer("dhcp")}, {}, "", true,
       "zeta dhcp", "", ""},
      {"a shorter name that begins a longer one comes first", {offer("ab"), offer("a"), offer("b")}, {}, "", true,
       "a ab b", "", ""},
      {"defpacks selects by name; unknown and over-long words are passed over",
       {offer("system"), offer("dhcp"), offer("ntp")}, {}, "unknown\n" + longWord + " dhcp\n", true,
       "system ntp dhcp", "dhcp", ""},
      {"no package file", {}, {"readme.txt"}, "", false, "", "", "FATAL ERROR: No packages found\n"},
      {"one bad file stops the list", {offer("system")}, {"broken.vpk"}, "", false, "", "",
       "FATAL ERROR: Bad package "},
  };
  for (const LoadCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir medium;
    writeMedium(medium, c.offers, c.defpacks);
    for (const std::string& f : c.otherFiles) writeFile(medium / f, "not a package");
    console::PackageMenu menu;
    testing::internal::CaptureStdout();
    EXPECT_EQ(console::loadOfferedPackages(menu, medium.path()), c.loaded);
    fflush(stdout);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed.substr(0, c.message.size()), c.message);
    if (c.loaded) {
      EXPECT_EQ(names(menu), c.order);
      EXPECT_EQ(names(menu, true), c.selected);
    }
  }
  console::PackageMenu menu;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(console::loadOfferedPackages(menu, "/nonexistent-medium"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "FATAL ERROR: No packages found\n");
}

namespace {

// Seven packages: three rows of three columns, the last column holding one.
const std::vector<Offer> kSeven = {offer("system", {"ipv6"}), offer("ppp"), offer("dhcp", {"ppp"}), offer("ipv6"),
                                   offer("ntp"), offer("routing"), offer("wireless")};

// Runs the menu on the medium in a child on a terminal; the child prints the
// selection after the menu and exits 1 for install, 0 for cancel. Returns
// once the menu is drawn and waits for its first key.
std::unique_ptr<PtySession> openMenu(const TempDir& medium) {
  const std::string path = medium.path();
  auto session = std::make_unique<PtySession>([path] {
    console::PackageMenu menu;
    if (!console::loadOfferedPackages(menu, path)) return 2;
    PtySession::announceKeyRequests();
    const bool install = console::runPackageMenu(menu);
    printf("\nSELECTED:%s.\n", names(menu, true).c_str());
    return install ? 1 : 0;
  });
  EXPECT_TRUE(session->waitFor("cancel and reboot."));
  EXPECT_TRUE(session->waitFor("):"));  // the details of the first item
  EXPECT_TRUE(session->waitForKeyRequest());
  return session;
}

const std::string kUp = "\033[A", kDown = "\033[B", kRight = "\033[C", kLeft = "\033[D";

}  // namespace

TEST(PackageMenu, ScreenAndNavigation) {
  TempDir medium;
  writeMedium(medium, kSeven, "ntp routing\n");
  auto session = openMenu(medium);
  const qvtest::Screen& screen = session->screen();
  EXPECT_EQ(screen.line(1), std::string(16, ' ') + "Welcome to Korvanet Router Software installation");
  EXPECT_EQ(screen.line(2), "");
  EXPECT_EQ(screen.line(3).substr(0, 20), "Move around menu usi");
  // Item i on line 7 + i mod 3, column 26 * (i div 3), after one blank; only
  // system selected whatever defpacks said.
  EXPECT_EQ(screen.find("[X] system"), std::make_pair(7, 3));
  EXPECT_EQ(screen.find("[ ] ppp"), std::make_pair(8, 3));
  EXPECT_EQ(screen.find("[ ] dhcp"), std::make_pair(9, 3));
  EXPECT_EQ(screen.find("[ ] ipv6"), std::make_pair(7, 28));
  EXPECT_EQ(screen.find("[ ] ntp"), std::make_pair(8, 28));
  EXPECT_EQ(screen.find("[ ] wireless"), std::make_pair(7, 54));
  EXPECT_EQ(screen.reverseText(), " [X] system ");
  EXPECT_EQ(screen.line(21), "system (depends on ipv6):");
  EXPECT_EQ(screen.line(22), "The system package.");

  struct Step {
    std::string keys;
    std::string highlighted;
    std::string details;
  };
  const Step steps[] = {
      {kRight, " [ ] ipv6 ", "ipv6 (depends on nothing):"},
      {kRight, " [ ] wireless ", "wireless (depends on nothing):"},
      {kRight, " [ ] wireless ", "wireless (depends on nothing):"},  // the last column: nothing happens
      {kUp, " [ ] routing ", "routing (depends on nothing):"},       // back to the bottom of column 1
      {kLeft + kLeft, " [ ] dhcp ", "dhcp (depends on ppp):"},
      {kLeft, " [ ] dhcp ", "dhcp (depends on ppp):"},               // the first column: nothing happens
      {"n", " [ ] ipv6 ", "ipv6 (depends on nothing):"},
      {"P" + kUp + kUp + kUp + "p", " [X] system ", "system (depends on ipv6):"},
  };
  for (const Step& step : steps) {
    session->send(step.keys);
    ASSERT_TRUE(session->waitFor(step.details)) << step.highlighted;
    // Keys that redraw the same details twice are all answered before the screen is read.
    ASSERT_TRUE(session->waitForKeyRequest()) << step.highlighted;
    EXPECT_EQ(screen.reverseText(), step.highlighted);
    EXPECT_EQ(screen.line(21), step.details);
  }
  session->send("q");
  EXPECT_EQ(session->finish(), 0);
  EXPECT_NE(session->output().find("SELECTED:system."), std::string::npos);
}

struct KeyCase {
  const char* name;
  std::string keys;
  bool hangUp;
  int result;            // 1 install, 0 cancel
  std::string selected;  // after the menu
};

TEST(PackageMenu, KeysAndSelection) {
  const KeyCase cases[] = {
      {"q cancels", "q", false, 0, "system"},
      {"Q cancels", "Q", false, 0, "system"},
      {"ESC then q cancels", "\033q", false, 0, "system"},
      {"end of input cancels", "", true, 0, ""},
      {"i installs the minimum", "i", false, 1, "system"},
      {"a then m leaves only system", "amI", false, 1, "system"},
      {"a selects all", "ai", false, 1, "system ppp dhcp ipv6 ntp routing wireless"},
      {"system cannot be deselected", " i", false, 1, "system"},
      {"selecting dhcp selects what it needs", kDown + kDown + " i", false, 1, "system ppp dhcp"},
      {"deselecting ppp deselects dhcp again", kDown + kDown + " " + kUp + " i", false, 1, "system"},
      {"deselecting what system needs leaves system selected", kRight + " " + " i", false, 1, "system"},
      {"an unknown arrow and other keys do nothing", "\033[Zxz\033[2i", false, 1, "system"},
  };
  TempDir medium;
  writeMedium(medium, kSeven);
  for (const KeyCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto session = openMenu(medium);
    if (c.hangUp) {
      session->hangUp();
      EXPECT_EQ(session->finish(), 0);
      continue;
    }
    session->send(c.keys);
    EXPECT_EQ(session->finish(), c.result);
    EXPECT_NE(session->output().find("SELECTED:" + c.selected + "."), std::string::npos) << session->output();
    // The menu ends on line 25 with the cursor shown again.
    EXPECT_NE(session->output().find("\033[25;0H\033[?25h"), std::string::npos);
  }
}

TEST(PackageMenu, InstallOrder) {
  TempDir medium;
  std::vector<Offer> offers = {offer("system"), offer("dhcp", {"ppp"}), offer("ppp", {"system"}), offer("ntp")};
  offers.push_back({"ntp-new.vpk", "ntp", {}, 0x06326600});
  writeMedium(medium, offers);
  console::PackageMenu menu;
  ASSERT_TRUE(console::loadOfferedPackages(menu, medium.path()));
  for (console::OfferedPackage& p : menu.items) p.selected = true;
  std::vector<console::OfferedPackage*> order;
  testing::internal::CaptureStdout();
  console::orderSelectedPackages(menu, order);
  testing::internal::GetCapturedStdout();
  std::map<std::string, size_t> at;
  for (size_t i = 0; i < order.size(); ++i) at[order[i]->record.name] = i;
  // Each after what it needs; of the two copies of ntp the newer one (the
  // menu sets no version limit).
  ASSERT_EQ(order.size(), 4u);
  EXPECT_LT(at["system"], at["ppp"]);
  EXPECT_LT(at["ppp"], at["dhcp"]);
  ASSERT_EQ(at.count("ntp"), 1u);
  EXPECT_EQ(order[at["ntp"]]->record.version, 0x06326600u);
}

// A package's description is not signed: control bytes (7-bit and 8-bit) are shown as blanks,
// an over-long word is broken, and the text never runs into line 25.
TEST(PackageMenu, DetailsOfUntrustedText) {
  TempDir medium;
  qvtest::SmallPackage p;
  p.name = "system";
  p.depends.clear();
  // (0x9B is the 8-bit control sequence introducer some terminals obey.)
  std::string text = "start \033[2J\2331;1Hinjected " + std::string(100, 'w');
  for (int i = 0; i < 60; ++i) text += " filler";
  p.description = text;
  qvtest::writeSmallPackage(medium / "system.vpk", p);
  auto session = openMenu(medium);
  const qvtest::Screen& screen = session->screen();
  EXPECT_EQ(screen.line(21), "system (depends on nothing):");
  EXPECT_EQ(screen.line(22), "start [2J 1;1Hinjected");  // the escape bytes became blanks
  EXPECT_EQ(screen.line(23), std::string(77, 'w'));
  EXPECT_EQ(screen.line(24).substr(0, 30), std::string(23, 'w') + " filler");
  EXPECT_EQ(screen.line(25), "");
  EXPECT_EQ(screen.find("[X] system"), std::make_pair(7, 3));  // the screen was not cleared
  session->send("q");
  EXPECT_EQ(session->finish(), 0);
}
