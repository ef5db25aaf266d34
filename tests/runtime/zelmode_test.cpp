#include "runtime/zelmode.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/process.h"
#include "tests/support/sandbox.h"

using qvtest::runInRoot;
using qvtest::TempDir;
using qvtest::writeFile;

struct ZelModeCase {
  const char* name;
  bool present;
  std::string content;
  bool flagged;
  uint8_t lastByte;  // byte 18 of the record
};

// The record read from a throw-away root's /ram/zelmode.
TEST(ZelMode, LoadTable) {
  const ZelModeCase cases[] = {
      {"no file", false, "", false, 0},
      {"empty file", true, "", false, 0},
      {"one byte 1", true, std::string(1, '\1'), true, 0},
      {"any non-zero byte", true, std::string(1, '\x80'), true, 0},
      {"first byte zero", true, std::string("\0\1\1", 3), false, 0},
      {"exactly 19 bytes", true, std::string(18, '\2') + '\7', true, 7},
      {"25 bytes, only 19 read", true, std::string(19, '\0') + "XXXXXX", false, 0},
  };
  for (const ZelModeCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir root;
    qvtest::makeDirs(root / "ram");
    if (c.present) writeFile(root / "ram/zelmode", c.content);
    EXPECT_TRUE(runInRoot(root.path(), [&] {
      vl::ZELMode mode = vl::ZELMode::load();
      EXPECT_EQ(mode.flagged != 0, c.flagged);
      EXPECT_EQ(mode.settings[17], c.lastByte);
      for (size_t i = c.content.size(); i < 19; ++i) EXPECT_EQ(reinterpret_cast<uint8_t*>(&mode)[i], 0) << i;
      return true;
    }));
  }
}

// flaggedState is taken before main: a program started in a root whose record
// is flagged sees it set at its first line, and a later change is not seen.
TEST(ZelMode, FlaggedStateIsReadBeforeMain) {
  const std::string helper = qvtest::testProgramDir() + "/flagged_state_probe";
  for (bool flagged : {false, true}) {
    SCOPED_TRACE(flagged);
    TempDir root;
    writeFile(root / "ram/zelmode", std::string(1, flagged ? '\1' : '\0'));
    qvtest::RootOptions options;
    options.systemDirs = true;
    options.extraBinds = {qvtest::testProgramDir(), std::filesystem::path(qvtest::testProgramDir() + "/../runtime").lexically_normal().string()};
    EXPECT_TRUE(runInRoot(
        root.path(),
        [&] {
          qvtest::ProcessResult result = qvtest::runProgram(qvtest::ownProgram(helper));
          EXPECT_EQ(result.status, 0) << result.err;
          EXPECT_EQ(result.out, flagged ? "flagged flagged\n" : "clear clear\n");
          return true;
        },
        options));
  }
}
