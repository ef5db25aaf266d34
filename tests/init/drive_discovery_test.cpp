// Drive discovery in a throw-away root whose /dev holds only the nodes a test
// made (plain files stand in for disks), never the host's devices.
#include "init/disk/drive_discovery.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
  int appearAfterSeconds;  // the first node appears late when > 0
  bool found;
  std::string label;
};

}  // namespace

TEST(DriveDiscovery, Table) {
  const DiscoveryCase cases[] = {
      {"table order, not device type", {{"vda", ""}, {"sda", ""}}, 0, true, "SATA 1"},
      {"a CD-ROM drive is passed over", {{"hda", "cdrom"}, {"hdc", ""}}, 0, true, "IDE Secondary master (disk E)"},
      {"xvda", {{"xvda", ""}}, 0, true, "Virtual Disk"},
      {"vda", {{"vda", ""}}, 0, true, "Virtual Disk"},
      {"only a CD-ROM drive", {{"hda", "cdrom"}}, 0, false, ""},
      {"a node that shows up late", {{"sdb", ""}}, 3, true, "SATA 2"},
  };
  for (const DiscoveryCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir root;
    qvtest::makeDirs(root / "dev");
    if (c.appearAfterSeconds == 0)
      for (const auto& [node, content] : c.nodes) writeFile(root / ("dev/" + node), content);
    pid_t late = -1;
    if (c.appearAfterSeconds > 0) {
      late = fork();
      if (late == 0) {
        sleep(unsigned(c.appearAfterSeconds));
        writeFile(root / ("dev/" + c.nodes[0].first), c.nodes[0].second);
        _exit(0);
      }
    }
    EXPECT_TRUE(qvtest::runInRoot(root.path(), [&] {
      int out = open("/out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out, 1);
      disk::InstallTarget target;
      bool found = disk::findHardDisk(target, fakeCdrom);
      EXPECT_EQ(found, c.found);
      if (found) {
        EXPECT_STREQ(target.disk->label, c.label.c_str());
      }
      return true;
    }));
    if (late > 0) waitpid(late, nullptr, 0);
    const std::string out = readFile(root / "out");
    const size_t dots = size_t(std::count(out.begin(), out.end(), '.'));
    const std::string heading = "\nLooking for harddrives...";
    EXPECT_EQ(out.substr(0, heading.size()), heading);
    std::string rest = out.substr(heading.size());
    rest.erase(std::remove(rest.begin(), rest.end(), '.'), rest.end());
    if (c.found) {
      EXPECT_EQ(rest, "\n\nFound harddrive as " + c.label + "\n");
      EXPECT_LE(dots - 3, size_t(c.appearAfterSeconds + 1));  // the heading's own three
    } else {
      EXPECT_EQ(rest, "\n\nFATAL ERROR: no harddrives found\n");
      EXPECT_GE(dots - 3, 19u);  // about twenty seconds, a dot a second
      EXPECT_LE(dots - 3, 21u);
    }
  }
}
