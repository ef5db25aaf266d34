// The formatter judged by e2fsprogs and by the kernel.
#include "init/disk/ext2_formatter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <sstream>

#include "tests/support/process.h"
#include "tests/support/sandbox.h"
#include "tests/support/terminal.h"

using disk::Ext2Formatter;
using disk::Ext2Layout;
using qvtest::runProgram;
using qvtest::TempDir;

namespace {

// Formats an image of the given number of 4 KiB blocks; the number of steps
// until 101, or -1.
int format(const std::string& path, uint64_t blocks, uint32_t* written = nullptr) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || ftruncate(fd, off_t(blocks * 4096)) != 0) return -2;
  Ext2Formatter f(fd, blocks * 4096, "system", 0, true);
  int steps = 0;
  for (;;) {
    int p = f.step();
    ++steps;
    if (p == 101 || p < 0) {
      if (written) *written = f.blocksWritten();
      return p == 101 ? steps : -1;
    }
    EXPECT_LE(p, 100);
  }
}

// e2fsck's complaints, less the pass and summary lines.
std::vector<std::string> fsckProblems(const std::string& path) {
  qvtest::ProcessResult r = runProgram({"e2fsck", "-fn", path});
  std::vector<std::string> problems;
  std::istringstream lines(r.out + r.err);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line.rfind("Pass ", 0) == 0 || line.rfind("e2fsck ", 0) == 0 || line.rfind("system: ", 0) == 0)
      continue;
    problems.push_back(line);
  }
  return problems;
}

std::string dumpField(const std::string& output, const std::string& field) {
  const std::string dump = "\n" + output;
  size_t at = dump.find("\n" + field + ":");
  if (at == std::string::npos) return "";
  size_t start = dump.find_first_not_of(" \t", at + field.size() + 2);
  return dump.substr(start, dump.find('\n', start) - start);
}

}  // namespace

struct SizeCase {
  const char* name;
  uint64_t blocks;
  uint32_t blocksCount;  // after leaving out a last group too small
  uint32_t groups, inodesPerGroup, journal, totalBlocks;
};

TEST(Ext2Formatter, SizesJudgedByE2fsprogs) {
  const SizeCase cases[] = {
      {"boot partition", 8192, 8192, 1, 2048, 0, 73},
      {"16,382 blocks: no journal", 16382, 16382, 1, 4096, 0, 0},
      {"16,383 blocks: a 1024-block journal", 16383, 16383, 1, 4096, 1024, 0},
      {"1 GiB disk's data partition", 253951, 253951, 8, 7936, 4096, 6116},
      {"a whole number of groups", 4 * 32768, 4 * 32768, 4, 8192, 4096, 0},
      {"a last group of 100 blocks is left out", 2 * 32768 + 100, 2 * 32768, 2, 8192, 4096, 0},
      {"the smallest", 16, 16, 1, 32, 0, 0},
  };
  for (const SizeCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string image = dir / "fs.img";
    Ext2Layout l = Ext2Layout::forSize(c.blocks * 4096, true);
    EXPECT_EQ(l.blocksCount, c.blocksCount);
    EXPECT_EQ(l.groupsCount, c.groups);
    EXPECT_EQ(l.inodesPerGroup, c.inodesPerGroup);
    EXPECT_EQ(l.journalBlocks, c.journal);
    if (c.totalBlocks) {
      EXPECT_EQ(l.totalBlocks, c.totalBlocks);
    }
    uint32_t written = 0;
    int steps = format(image, c.blocks, &written);
    ASSERT_GT(steps, 0);
    EXPECT_EQ(written, l.totalBlocks);  // one block per step, then the finishing step
    EXPECT_EQ(fsckProblems(image), std::vector<std::string>{"Resize inode not valid.  Recreate? no"});
    const std::string dump = runProgram({"dumpe2fs", "-h", image}).out;
    EXPECT_EQ(dumpField(dump, "Block count"), std::to_string(l.blocksCount));
    EXPECT_EQ(dumpField(dump, "Inode count"), std::to_string(l.inodesCount));
    EXPECT_EQ(dumpField(dump, "Free blocks"), std::to_string(l.blocksCount - l.totalBlocks));
    EXPECT_EQ(dumpField(dump, "Free inodes"), std::to_string(l.inodesCount - 11));
    EXPECT_EQ(dumpField(dump, "Block size"), "4096");
    EXPECT_EQ(dumpField(dump, "Inode size"), "128");
    EXPECT_EQ(dumpField(dump, "Filesystem volume name"), "system");
    EXPECT_EQ(dumpField(dump, "Filesystem UUID").substr(14, 1), "4");  // version 4
    EXPECT_EQ(dumpField(dump, "Filesystem features"),
              std::string(c.journal ? "has_journal " : "") + "resize_inode dir_index filetype sparse_super large_file");
    EXPECT_EQ(dumpField(dump, "Journal inode"), c.journal ? "8" : "");
    if (c.journal) {
      EXPECT_EQ(dumpField(dump, "Total journal blocks"), std::to_string(c.journal));
    }
  }
}

// The boot partition's worked example, block by block.
TEST(Ext2Formatter, BootPartitionLayout) {
  Ext2Layout l = Ext2Layout::forSize(8192ull * 4096, true);
  EXPECT_EQ(l.inodeTableBlocks, 64u);
  EXPECT_EQ(l.headerBlocks, 2u);
  EXPECT_EQ(l.rootDirectoryBlock(), 68u);
  EXPECT_EQ(l.totalBlocks, 73u);
  TempDir dir;
  EXPECT_EQ(format(dir / "boot.img", 8192), 74);  // 73 writes, then 101
  const std::string blocks = runProgram({"dumpe2fs", dir / "boot.img"}).out;
  EXPECT_NE(blocks.find("Block bitmap at 2 (+2)"), std::string::npos) << blocks;
  EXPECT_NE(blocks.find("Inode table at 4-67 (+4)"), std::string::npos);
  EXPECT_NE(blocks.find("8119 free blocks, 2037 free inodes, 2 directories"), std::string::npos);
  // Groups that carry superblock copies in the 1 GiB example.
  Ext2Layout big = Ext2Layout::forSize(253951ull * 4096, true);
  std::vector<uint32_t> copies;
  for (uint32_t g = 0; g < big.groupsCount; ++g)
    if (big.hasSuperblockCopy(g)) copies.push_back(g);
  EXPECT_EQ(copies, (std::vector<uint32_t>{0, 1, 3, 5, 7}));
  EXPECT_EQ(big.journalIndirect, 4u);
  EXPECT_EQ(big.journalDoubleIndirect, 1u);
}

TEST(Ext2Formatter, FailuresAndProgressLine) {
  TempDir dir;
  // 15 blocks or fewer: -1 at once, nothing written.
  uint32_t written = 99;
  EXPECT_EQ(format(dir / "tiny.img", 15, &written), -1);
  EXPECT_EQ(written, 0u);
  // The last write fails: the formatter reports -1, never 101.
  const std::string shortImage = dir / "short.img";
  {
    int fd = open(shortImage.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_EQ(ftruncate(fd, 72 * 4096), 0);  // the file ends where the last block begins
    close(fd);
  }
  EXPECT_TRUE(qvtest::runInRoot("/", [&] {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {72 * 4096, 72 * 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    Ext2Formatter f(open(shortImage.c_str(), O_RDWR), 8192ull * 4096, "system", 0, true);
    int p = 0;
    while (p >= 0 && p <= 100) p = f.step();
    EXPECT_EQ(p, -1);
    EXPECT_EQ(f.blocksWritten(), 72u);
    return true;
  }));
  // The percentage line.
  const std::string image = dir / "line.img";
  {
    int fd = open(image.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_EQ(ftruncate(fd, 8192 * 4096), 0);
    close(fd);
  }
  qvtest::ProcessResult r = runProgram(qvtest::ownProgram(QV_VDISK, {"format", image, "--title", "Formatting boot partition"}));
  EXPECT_EQ(r.status, 0) << r.err;
  std::string expected;
  // One line a block here (each moves it by more than 1 %); the last one
  // already says 100 %, so the end only closes it.
  for (int block = 1; block <= 73; ++block) expected += "\rFormatting boot partition " + std::to_string(block * 100 / 73) + "%";
  expected += "\n";
  EXPECT_EQ(r.out, expected);
}

// What the operator sees of the line at every moment it is whole (before each
// carriage return or line feed), repeats left out.
std::vector<std::string> screensOf(const std::string& output) {
  qvtest::Screen screen;
  std::vector<std::string> seen;
  size_t from = 0;
  for (size_t at = 0; at <= output.size(); ++at) {
    if (at < output.size() && output[at] != '\r' && output[at] != '\n') continue;
    screen.feed(output.substr(from, at - from));
    from = at;
    const std::string shown = screen.line(1) + "\n" + screen.line(2);
    if (seen.empty() || seen.back() != shown) seen.push_back(shown);
  }
  return seen;
}

// On a console the line is printed when its text changes: the screen passes
// through the same percentages, in the same order, to the same end as when
// it was printed after every block, for a small part of the bytes.
TEST(Ext2Formatter, ProgressLineOnAPseudoTerminal) {
  TempDir dir;
  const std::string title = "Formatting data partition";
  const uint64_t bytes = 1ull << 30;
  for (const char* name : {"line.img", "blocks.img"}) {
    int fd = open((dir / name).c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_EQ(ftruncate(fd, off_t(bytes)), 0);
    close(fd);
  }
  qvtest::PtySession session([&] { return disk::formatWithProgress(dir / "line.img", title) ? 0 : 1; });
  ASSERT_EQ(session.finish(), 0);
  const std::string& output = session.output();

  // The same formatting with a line after every block.
  std::string everyBlock;
  {
    int fd = open((dir / "blocks.img").c_str(), O_RDWR);
    Ext2Formatter f(fd, bytes, "system", 0, true);
    int p;
    while ((p = f.step()) >= 0 && p <= 100) everyBlock += "\r" + title + " " + std::to_string(p) + "%";
    ASSERT_EQ(p, 101);
    everyBlock += "\r" + title + " 100%\r\n";  // as the terminal passes a line feed on
    close(fd);
  }

  const std::vector<std::string> screens = screensOf(output);
  EXPECT_EQ(screens, screensOf(everyBlock));
  ASSERT_GE(screens.size(), 100u);
  EXPECT_EQ(screens.back(), title + " 100%\n");
  // Every percentage from the first to 100 shows once.
  std::vector<int> shown;
  for (size_t at = 0; (at = output.find('\r', at)) != std::string::npos; ++at)
    if (output.compare(at + 1, title.size(), title) == 0)
      shown.push_back(std::stoi(output.substr(at + 2 + title.size())));
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(shown.back(), 100);
  for (size_t i = 1; i < shown.size(); ++i) EXPECT_EQ(shown[i], shown[i - 1] + 1) << i;
  EXPECT_LE(shown.size(), 101u);
  // Before: 18,481 lines, 552 KB; now 101 lines, 3 KB.
  EXPECT_LT(output.size() * 50, everyBlock.size());
}

// The kernel mounts what the formatter made, as ext3 or ext2, takes a file,
// and leaves it clean.
TEST(Ext2Formatter, TheKernelMountsIt) {
  for (uint64_t blocks : {uint64_t(8192), uint64_t(253951)}) {
    SCOPED_TRACE(blocks);
    TempDir dir;
    const std::string image = dir / "fs.img";
    ASSERT_GT(format(image, blocks), 0);
    qvtest::makeDirs(dir / "mnt");
    EXPECT_TRUE(qvtest::runInRoot("/", [&] {
      const char* type = blocks >= 16383 ? "ext3" : "ext2";
      qvtest::ProcessResult m = runProgram({"mount", "-t", type, "-o", "loop", image, dir / "mnt"});
      EXPECT_EQ(m.status, 0) << m.err;
      if (m.status != 0) return false;
      qvtest::writeFile(dir / "mnt/hello", std::string(100000, 'h'));
      EXPECT_EQ(qvtest::readFile(dir / "mnt/hello").size(), 100000u);
      EXPECT_TRUE(std::filesystem::is_directory(dir / "mnt/lost+found"));
      EXPECT_EQ(umount((dir / "mnt").c_str()), 0);
      return true;
    }));
    EXPECT_EQ(fsckProblems(image), std::vector<std::string>{"Resize inode not valid.  Recreate? no"});
  }
}

// Zero blocks of an image file become holes: an image that held other data
// before must still read as a clean file system.
TEST(Ext2Formatter, ReusedImageIsClean) {
  TempDir dir;
  const std::string image = dir / "fs.img";
  const uint64_t blocks = 16383;
  qvtest::writeFile(image, std::string(blocks * 4096, char(0xA5)));
  int fd = open(image.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  Ext2Formatter f(fd, blocks * 4096, "system", 0, true);
  int p;
  while ((p = f.step()) >= 0 && p <= 100) {
  }
  EXPECT_EQ(p, 101);
  EXPECT_EQ(fsckProblems(image), std::vector<std::string>{"Resize inode not valid.  Recreate? no"});
}

// The largest disk the partition table can describe, as a sparse image.
TEST(Ext2Formatter, TwoTebibytes) {
  if (qvtest::runsEmulated()) GTEST_SKIP() << "minutes of work under an emulator; the native build covers it";
  TempDir dir;
  const std::string image = dir / "fs.img";
  const uint64_t blocks = (2ull << 40) / 4096;
  Ext2Layout l = Ext2Layout::forSize(blocks * 4096, true);
  ASSERT_GT(format(image, blocks), 0);
  const std::string dump = runProgram({"dumpe2fs", "-h", image}).out;
  EXPECT_EQ(dumpField(dump, "Block count"), std::to_string(l.blocksCount));
  EXPECT_EQ(dumpField(dump, "Inode count"), std::to_string(l.inodesCount));
  EXPECT_EQ(dumpField(dump, "Total journal blocks"), std::to_string(l.journalBlocks));
  qvtest::makeDirs(dir / "mnt");
  EXPECT_TRUE(qvtest::runInRoot("/", [&] {
    qvtest::ProcessResult m = runProgram({"mount", "-t", "ext3", "-o", "loop", image, dir / "mnt"});
    EXPECT_EQ(m.status, 0) << m.err;
    if (m.status != 0) return false;
    qvtest::writeFile(dir / "mnt/hello", std::string(100000, 'h'));
    EXPECT_EQ(umount((dir / "mnt").c_str()), 0);
    return true;
  }));
  EXPECT_EQ(fsckProblems(image), std::vector<std::string>{"Resize inode not valid.  Recreate? no"});
}
