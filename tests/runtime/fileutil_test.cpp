#include "runtime/fileutil.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "tests/support/sandbox.h"

using qvtest::makeDirs;
using qvtest::TempDir;
using qvtest::writeFile;

TEST(FileUtil, FileExistsByType) {
  TempDir dir;
  writeFile(dir / "file", "x");
  makeDirs(dir / "sub");
  ASSERT_EQ(symlink("file", (dir / "link").c_str()), 0);
  ASSERT_EQ(symlink("missing", (dir / "dangling").c_str()), 0);
  struct Case {
    const char* name;
    mode_t type;
    bool exists;
  } cases[] = {
      {"file", 0, true},       {"file", S_IFREG, true},  {"file", S_IFDIR, false}, {"sub", 0, true},
      {"sub", S_IFDIR, true},  {"sub", S_IFREG, false},  {"link", S_IFREG, true},  {"dangling", 0, false},
      {"missing", 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.type));
    EXPECT_EQ(vl::fileExists(dir / c.name, c.type), c.exists);
  }
}

TEST(FileUtil, ReadAndWriteText) {
  TempDir dir;
  std::string big(3 * 4096 + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 7);
  for (const std::string& text : {std::string(), std::string("34"), std::string("a\0b\n", 4), big}) {
    ASSERT_TRUE(vl::writeTextFile(dir / "t", text));
    EXPECT_EQ(qvtest::readFile(dir / "t"), text);  // exactly: no line end added
    EXPECT_EQ(vl::readFileText(dir / "t"), text);
  }
  // Truncates a longer file.
  ASSERT_TRUE(vl::writeTextFile(dir / "t", "long content"));
  ASSERT_TRUE(vl::writeTextFile(dir / "t", "x"));
  EXPECT_EQ(vl::readFileText(dir / "t"), "x");
  EXPECT_EQ(vl::readFileText(dir / "missing"), "");
  EXPECT_EQ(vl::readFileText(dir.path()), "");  // a directory: read fails at once, nothing read
  EXPECT_FALSE(vl::writeTextFile(dir / "no/such/dir/t", "x"));
}

static std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

TEST(FileUtil, ListDirectory) {
  TempDir dir;
  const std::string d = dir.path();
  writeFile(d + "/a", "");
  writeFile(d + "/.hidden", "");
  writeFile(d + "/sub/b", "");
  writeFile(d + "/sub/.h", "");
  writeFile(d + "/sub/deep/c", "");
  makeDirs(d + "/empty");
  makeDirs(d + "/.hiddendir/x");

  EXPECT_EQ(sorted(vl::listDirectory(d, false, false)), sorted({d + "/a", d + "/empty", d + "/sub"}));
  EXPECT_EQ(sorted(vl::listDirectory(d, false, true)), sorted({d + "/a", d + "/empty", d + "/sub"}));
  EXPECT_EQ(sorted(vl::listDirectory(d, true, false)), sorted({d + "/a", d + "/sub/b", d + "/sub/deep/c"}));
  EXPECT_EQ(sorted(vl::listDirectory(d, true, true)),
            sorted({d + "/a", d + "/empty", d + "/sub", d + "/sub/b", d + "/sub/deep", d + "/sub/deep/c"}));
  // A directory comes after its own contents.
  auto all = vl::listDirectory(d, true, true);
  auto at = [&](const std::string& p) { return std::find(all.begin(), all.end(), p) - all.begin(); };
  EXPECT_LT(at(d + "/sub/deep/c"), at(d + "/sub/deep"));
  EXPECT_LT(at(d + "/sub/deep"), at(d + "/sub"));
  EXPECT_LT(at(d + "/sub/b"), at(d + "/sub"));

  // The directory is used unchanged: a trailing "/" gives a doubled one.
  EXPECT_EQ(vl::listDirectory(d + "/sub/deep/", false, false), std::vector<std::string>{d + "/sub/deep//c"});
  EXPECT_TRUE(vl::listDirectory(d + "/.hiddendir/x", true, true).empty());
  makeDirs(d + "/onlyhidden");
  writeFile(d + "/onlyhidden/.a", "");
  makeDirs(d + "/onlyhidden/.b");
  EXPECT_TRUE(vl::listDirectory(d + "/onlyhidden", true, true).empty());
  EXPECT_TRUE(vl::listDirectory(d + "/missing", true, true).empty());
  EXPECT_TRUE(vl::listDirectory(d + "/a", false, false).empty());  // not a directory
}

struct MinVersionCase {
  const char* name;
  const char* rootDiskLink;  // nullptr: no /dev/root-disk
  std::vector<std::pair<std::string, std::string>> startFiles;  // path below /sys/class/block, content
  uint32_t expected;
};

// The boot disk's partitions as sysfs shows them, in a throw-away root.
TEST(FileUtil, MinimumVersionFromPartitionAtSector34) {
  const uint32_t v6493 = vl::parseVersion("6.49.3");
  ASSERT_EQ(v6493, 0x06316603u);
  const MinVersionCase cases[] = {
      {"GPT disk", "/dev/sda", {{"sda/sda1/start", "34\n"}}, v6493},
      {"second partition at 34", "sda", {{"sda/sda1/start", "2048\n"}, {"sda/sda2/start", "34\n"}}, v6493},
      {"no line end", "/dev/sda", {{"sda/sda1/start", "34"}}, 0},
      {"leading zero", "/dev/sda", {{"sda/sda1/start", "034\n"}}, 0},
      {"MBR disk", "/dev/sda", {{"sda/sda1/start", "63\n"}}, 0},
      {"other disk has it", "/dev/sda", {{"sdb/sdb1/start", "34\n"}}, 0},
      {"no root-disk link: zero is taken", nullptr, {{"sda/sda1/start", "34\n"}}, 0},
      {"no root-disk link, a block device named zero", nullptr, {{"zero/zero1/start", "34\n"}}, v6493},
      {"disk directory missing", "/dev/vdz", {}, 0},
  };
  for (const MinVersionCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir root;
    makeDirs(root / "dev");
    makeDirs(root / "sys/class/block");
    if (c.rootDiskLink) {
      ASSERT_EQ(symlink(c.rootDiskLink, (root / "dev/root-disk").c_str()), 0);
    }
    for (const auto& [path, content] : c.startFiles) writeFile(root / ("sys/class/block/" + path), content);
    EXPECT_TRUE(qvtest::runInRoot(root.path(), [&] {
      EXPECT_EQ(vl::hasPartitionAtSector34(), c.expected != 0);
      EXPECT_EQ(vl::getMinZelVersion(), c.expected);
      return true;
    }));
  }
}
