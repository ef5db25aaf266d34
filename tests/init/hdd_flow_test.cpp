// The hard-disk flow's pieces that run without a machine: whole files read
// into memory, and the search for the medium over a table of devices.
#include "init/flow/hdd_flow.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/sandbox.h"

using qvtest::TempDir;
using qvtest::writeFile;

TEST(HardDiskFlow, ReadWholeFile) {
  TempDir dir;
  const std::string big(300000, 'p');
  writeFile(dir / "package.vpk", big);
  writeFile(dir / "empty", "");
  struct Case {
    const char* name;
    std::string path;
    bool ok;
    std::string content;
  } cases[] = {
      {"a whole file", dir / "package.vpk", true, big},
      {"an empty file: no data", dir / "empty", true, ""},
      {"missing", dir / "missing", false, ""},
      {"a read that fails (a directory)", dir.path(), false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    flow::FileBuffer buffer;
    EXPECT_EQ(flow::readWholeFile(buffer, c.path), c.ok);
    if (c.ok) {
      EXPECT_EQ(std::string(buffer.data.begin(), buffer.data.end()), c.content);
      EXPECT_EQ(buffer.position, 0u);
    }
  }
}

// The table's rows are tried in order, pass after pass; a device that mounts
// but holds no "autorun.scr" is passed over; the search gives up after about
// 20 seconds.
TEST(HardDiskFlow, MediumSearchOrderAndLimit) {
  const disk::HardDiskRow table[] = {{"/dev/first", "First"}, {"/dev/fat-only", "FAT without script"},
                                     {"/dev/medium", "Medium"}, {"/dev/later", "Later"}, {nullptr, nullptr}};
  TempDir root;
  qvtest::makeDirs(root / "floppy");
  EXPECT_TRUE(qvtest::runInRoot(root.path(), [&] {
    qvtest::redirectStdout("/out");
    std::vector<std::string> tried;
    auto mount = [&](const char* device) {
      tried.push_back(device);
      const std::string name = device;
      if (name == "/dev/medium") writeFile("/floppy/autorun.scr", "");
      return name == "/dev/fat-only" || name == "/dev/medium";
    };
    disk::InstallTarget target;
    EXPECT_TRUE(flow::findMedium(target, table, mount));
    EXPECT_EQ(target.disk, &table[2]);
    EXPECT_EQ(tried, (std::vector<std::string>{"/dev/first", "/dev/fat-only", "/dev/medium"}));
    EXPECT_EQ(qvtest::readFile("/out").rfind("Looking for harddrives...", 0), 0u);

    // Nothing to be found: every row in every pass, then no medium.
    tried.clear();
    std::filesystem::remove("/floppy/autorun.scr");
    disk::InstallTarget none;
    EXPECT_FALSE(flow::findMedium(none, table, [&](const char* device) {
      tried.push_back(device);
      return false;
    }));
    EXPECT_EQ(none.disk, nullptr);
    EXPECT_GE(tried.size(), 4u * 10);  // about one pass a second for 20 seconds
    EXPECT_EQ(tried.size() % 4, 0u);
    for (size_t i = 0; i < tried.size(); ++i) EXPECT_EQ(tried[i], table[i % 4].path);
    return true;
  }));
}
