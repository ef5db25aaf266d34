// Drive discovery in a throw-away root whose /dev holds only the nodes a test
// made (plain files stand in for disks), never the host's devices.
#include "init/disk/drive_discovery.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>

#include "tests/support/sandbox.h"

using qvtest::readFile;
using qvtest::TempDir;
using qvtest::writeFile;

namespace {

// A stand-in node whose content says "cdrom" plays an optical drive.
bool fakeCdrom(int fd) {
  char text[5] = {};
  return pread(fd, text, sizeof text, 0) == 5 && memcmp(text, "cdrom", 5) == 0;
}

struct DiscoveryCase {
  const char* name;
  std::vector<std::pair<std::string, std::string>> nodes;  // below /dev, and content
  bool appearsLate;  // the first node appears only once the search has shown a dot
  bool found;
  std::string label;
  int probes;  // of the stand-in CD-ROM check on the way to the disk: all in one pass
};

const std::string kHeading = "\nLooking for harddrives...";

// Waits until the search, writing to out, has looked for a second in vain
// (its first dot after the heading), then makes the node, whole at once.
void makeNodeOnceSearching(const std::string& out, const std::string& node, const std::string& content) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  while (readFile(out).find(kHeading + ".") == std::string::npos) {
    if (std::chrono::steady_clock::now() > giveUp) return;  // the search's own checks then fail
    usleep(10000);
  }
  writeFile(node + ".part", content);
  rename((node + ".part").c_str(), node.c_str());
}

}  // namespace

TEST(DriveDiscovery, Table) {
  const DiscoveryCase cases[] = {
      {"table order, not device type", {{"vda", ""}, {"sda", ""}}, false, true, "SATA 1", 1},
      {"a CD-ROM drive is passed over", {{"hda", "cdrom"}, {"hdc", ""}}, false, true, "IDE Secondary master (disk E)", 2},
      {"xvda", {{"xvda", ""}}, false, true, "Virtual Disk", 1},
      {"vda", {{"vda", ""}}, false, true, "Virtual Disk", 1},
      {"only a CD-ROM drive", {{"hda", "cdrom"}}, false, false, "", 0},
      {"a node that shows up late", {{"sdb", ""}}, true, true, "SATA 2", 1},
  };
  for (const DiscoveryCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir root;
    qvtest::makeDirs(root / "dev");
    writeFile(root / "out", "");
    if (!c.appearsLate)
      for (const auto& [node, content] : c.nodes) writeFile(root / ("dev/" + node), content);
    pid_t late = -1;
    if (c.appearsLate) {
      fflush(nullptr);
      late = fork();
      if (late == 0) {
        makeNodeOnceSearching(root / "out", root / ("dev/" + c.nodes[0].first), c.nodes[0].second);
        _exit(0);
      }
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(qvtest::runInRoot(root.path(), [&] {
      int out = open("/out", O_WRONLY | O_TRUNC);
      dup2(out, 1);
      disk::InstallTarget target;
      int probes = 0;
      bool found = disk::findHardDisk(target, [&](int fd) {
        ++probes;
        return fakeCdrom(fd);
      });
      EXPECT_EQ(found, c.found);
      if (found) {
        EXPECT_STREQ(target.disk->label, c.label.c_str());
        EXPECT_EQ(probes, c.probes);
      }
      return true;
    }));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (late > 0) {
      kill(late, SIGKILL);  // done with its node, or still waiting for a dot that never came
      waitpid(late, nullptr, 0);
    }
    const std::string out = readFile(root / "out");
    const size_t dots = size_t(std::count(out.begin(), out.end(), '.'));
    EXPECT_EQ(out.substr(0, kHeading.size()), kHeading);
    std::string rest = out.substr(kHeading.size());
    rest.erase(std::remove(rest.begin(), rest.end(), '.'), rest.end());
    // Dots come from a one-second ticker: never more than one a second,
    // however slow the machine (the heading's own three aside).
    EXPECT_LE(double(dots - 3), seconds + 1);
    if (c.found) {
      EXPECT_EQ(rest, "\n\nFound harddrive as " + c.label + "\n");
      if (c.appearsLate) {
        EXPECT_GE(dots - 3, 1u);  // it kept looking
      }
    } else {
      EXPECT_EQ(rest, "\n\nFATAL ERROR: no harddrives found\n");
      // About twenty seconds: at least that long whatever the load, and with
      // the ticker running through it (a tick is only late by its wake-up).
      EXPECT_GE(seconds, 19.0);
      EXPECT_GE(dots - 3, 10u);
    }
  }
}
