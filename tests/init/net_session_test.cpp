// The whole network installation run against a fake network, a virtual clock
// and recording steps: what the operator reads, what is installed in which
// mode, where the script goes, when the reset script is left, and every
// failure with its message.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "init/net/session.h"
#include "tests/init/fake_net.h"
#include "tests/support/sandbox.h"

using namespace qvtest;

namespace {

struct Installed {
  std::string name;
  bool image;
  std::string content;
};

// One run: its console text, its result and what the steps saw.
struct SessionRun {
  FakeNet fake;
  FakeServer server;
  TempDir root;
  std::vector<Installed> installed;
  bool diskFound = true, finished = false, keepAsked = false;
  std::string label = "AB 12";
  std::string console;
  bool result = false;

  SessionRun() {
    makeDirs(root / "flash/rw");
    server.drivers = {{"drivers.vpk", "D"}};
    server.attach(fake);
  }
  void go() {
    char* text = nullptr;
    size_t length = 0;
    FILE* out = open_memstream(&text, &length);
    net::SessionSteps steps;
    steps.console = out;
    steps.root = root.path();
    steps.kernelRelease = "6.1.0-test";
    steps.minimumVersion = "0.0";
    steps.loadDrivers = [] {};
    steps.findDisk = [&](disk::InstallTarget&) {
      if (!diskFound) fprintf(out, "\nFATAL ERROR: No hard disk found\n");
      return diskFound;
    };
    steps.readLabel = [&] { return label; };
    steps.prepareDisk = [&](disk::InstallTarget&, bool keep) {
      keepAsked = keep;
      return true;
    };
    steps.install = [&](const disk::InstallTarget&, net::NetFileStream& stream, bool image) {
      Installed i{stream.name(), image, ""};
      uint8_t block[4096];
      for (ssize_t n; (n = stream.read(block, sizeof block)) > 0;) i.content.append(reinterpret_cast<char*>(block), size_t(n));
      installed.push_back(i);
      return true;
    };
    steps.finish = [&] { finished = true; };
    net::NetSession s(fake);
    disk::InstallTarget target;
    result = net::runSession(s, target, steps);
    fclose(out);
    console.assign(text, length);
    free(text);
  }
};

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

}  // namespace

TEST(NetSession, AWholeRun) {
  SessionRun run;
  run.server.files = {{"system.vpk", "S"}, {"ppp.vpk", std::string(9000, 'p')}, {"router.scr", "/ip address\n"}};
  run.go();
  EXPECT_TRUE(run.result);
  EXPECT_EQ(run.console,
            "\nmac-address: 02:00:00:00:00:01\n\nWaiting for drivers...\nRetrieving drivers...\nLoading drivers\n"
            "disk label: AB12\n\nWaiting for installation server...\nFound server at 02:00:00:00:00:99\n\n\n"
            "Writing configuration...\n\nSoftware installed.\nPress ENTER to reboot\n");
  ASSERT_EQ(run.installed.size(), 3u);
  EXPECT_EQ(run.installed[0].name, "drivers.vpk");
  EXPECT_FALSE(run.installed[0].image);  // the driver package goes into the running installer
  EXPECT_EQ(run.installed[0].content, "D");
  EXPECT_TRUE(run.installed[1].image);
  EXPECT_EQ(run.installed[2].content, std::string(9000, 'p'));
  EXPECT_EQ(readFile(run.root / "flash/router.scr"), "/ip address\n");
  EXPECT_FALSE(exists(run.root / "flash/rw/RESET"));
  EXPECT_TRUE(run.finished);
  EXPECT_FALSE(run.keepAsked);
  EXPECT_EQ(typeOf(run.fake.sent.back().second), "WTRM");  // answered by TERM
}

TEST(NetSession, ScriptKeepAndReset) {
  struct Case {
    const char* name;
    std::string offer;
    FakeServer::Files files;
    bool reset;
    std::string scriptPath;  // under the root, "" for none
    size_t packages;
  } cases[] = {
      {"neither a script nor keep: the new system resets itself", "OFFR\n\n", {{"system.vpk", "S"}}, true, "", 1},
      {"keep and no script: no reset", "OFFR\n\nkeep\n", {{"system.vpk", "S"}}, false, "", 1},
      {"a script of size 0 goes to /empty and counts", "OFFR\n\n", {{"a.scr", ""}}, false, "/empty", 0},
      {"\".scr\" alone is a package", "OFFR\n\n", {{".scr", "x"}}, true, "", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SessionRun run;
    run.server.offer = c.offer;
    run.server.files = c.files;
    run.go();
    EXPECT_TRUE(run.result) << run.console;
    EXPECT_EQ(run.keepAsked, c.offer.find("keep") != std::string::npos);
    EXPECT_EQ(exists(run.root / "flash/rw/RESET"), c.reset);
    if (c.reset) {
      EXPECT_EQ(readFile(run.root / "flash/rw/RESET"), ". /vela/lib/reset/reset");
    }
    if (!c.scriptPath.empty()) {
      EXPECT_TRUE(exists(run.root.path() + c.scriptPath));
    }
    EXPECT_EQ(run.installed.size(), 1 + c.packages);
  }
}

TEST(NetSession, Failures) {
  struct Case {
    const char* name;
    std::function<void(SessionRun&)> arrange;
    std::string lastLine;
  } cases[] = {
      {"no network card", [](SessionRun& r) { r.fake.macs.clear(); }, "FATAL ERROR: no network card found"},
      {"no driver file", [](SessionRun& r) { r.server.drivers.clear(); }, "FATAL ERROR: could not retrieve disk drivers"},
      {"no disk", [](SessionRun& r) { r.diskFound = false; }, "FATAL ERROR: No hard disk found"},
      {"no answer to STRT", [](SessionRun& r) { r.server.answersStart = false; }, "FATAL ERROR: server refused to install"},
      {"a script name leaving the new system", [](SessionRun& r) { r.server.files = {{"../x.scr", "x"}}; },
       "FATAL ERROR: couldn't make a file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SessionRun run;
    run.server.files = {{"system.vpk", "S"}};
    c.arrange(run);
    run.go();
    EXPECT_FALSE(run.result);
    EXPECT_FALSE(run.finished);
    EXPECT_EQ(run.console.substr(run.console.size() - c.lastLine.size() - 1), c.lastLine + "\n") << run.console;
    EXPECT_FALSE(exists(run.root / "x.scr"));
  }
}

TEST(NetSession, AKeyEndsTheFinalWaitWithoutTerm) {
  SessionRun run;
  run.server.files = {{"system.vpk", "S"}};
  auto honest = run.fake.server;
  run.fake.server = [&](size_t i, const std::string& f) {
    if (typeOf(f) == "WTRM") {
      run.fake.keyPressed = true;  // the server has gone; the operator presses a key
      return;
    }
    honest(i, f);
  };
  run.go();
  EXPECT_TRUE(run.result);
  EXPECT_EQ(run.fake.count("WTRM"), 1);
}
