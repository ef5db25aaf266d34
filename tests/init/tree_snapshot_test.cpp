#include "init/disk/tree_snapshot.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "tests/support/sandbox.h"
#include "tests/support/tree.h"

using qvtest::makeDirs;
using qvtest::TempDir;
using qvtest::writeFile;

namespace {

void setTimes(const std::string& path, time_t t) {
  struct utimbuf times = {t, t + 1};
  utime(path.c_str(), &times);
}

}  // namespace

TEST(TreeSnapshot, SaveAndRestoreKeepModesOwnersAndTimes) {
  TempDir root;
  EXPECT_TRUE(qvtest::runInRoot(root.path(), [] {
    const std::string store = "/flash/vela/store";
    writeFile(store + "/empty", "");
    writeFile(store + "/small.conf", "interface=ether1\n");
    std::string big(40000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 31);
    writeFile(store + "/deep/er/big.bin", big);  // spans three chunks
    writeFile(store + "/target", "pointed at");
    EXPECT_EQ(symlink("target", (store + "/link").c_str()), 0);  // saved as the file it names
    EXPECT_EQ(mkfifo((store + "/fifo").c_str(), 0600), 0);         // left out
    chmod((store + "/small.conf").c_str(), 0640);
    chmod((store + "/deep").c_str(), 0751);
    EXPECT_EQ(chown((store + "/small.conf").c_str(), 1234, 5678), 0);
    EXPECT_EQ(chown((store + "/deep/er").c_str(), 42, 43), 0);
    const std::vector<std::string> timed = {"/empty", "/small.conf", "/deep/er/big.bin", "/deep/er", "/deep",
                                            "/target", ""};
    for (const std::string& p : timed) setTimes(store + p, 1000000 + time_t(p.size()));

    // Taken before anything else reads the tree, so that the access times it
    // keeps are the ones set above whatever the mount records.
    auto snapshot = disk::snapshotTree(store);
    EXPECT_TRUE(snapshot);
    auto before = qvtest::detailedTreeListing(store);
    std::filesystem::remove_all(store);
    EXPECT_TRUE(disk::restoreTree(std::move(snapshot)));
    // The access times as the restore set them, looked at without reading
    // anything. Not the link's copy: it takes its file's access time as it
    // was when the walk came to the link, before or after reading the file.
    for (const std::string& p : timed) {
      struct stat st;
      EXPECT_EQ(lstat((store + p).c_str(), &st), 0) << p;
      EXPECT_EQ(st.st_atime, 1000000 + time_t(p.size())) << p;
    }
    auto after = qvtest::detailedTreeListing(store);
    // The link comes back as a copy of its file, mode, owner and times
    // included; the FIFO stays behind.
    std::vector<std::string> expected;
    for (const std::string& line : before) {
      if (line.rfind("/fifo ", 0) == 0) continue;
      if (line.rfind("/link ", 0) == 0) continue;
      if (line.rfind("/target ", 0) == 0) expected.push_back("/link" + line.substr(strlen("/target")));
      expected.push_back(line);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(after, expected);
    EXPECT_EQ(qvtest::readFile(store + "/link"), "pointed at");
    return true;
  }));
}

TEST(TreeSnapshot, Failures) {
  TempDir root;
  EXPECT_TRUE(qvtest::runInRoot(root.path(), [] {
    writeFile("/store/a", "a");
    EXPECT_EQ(symlink("missing", "/store/dangling"), 0);
    EXPECT_FALSE(disk::snapshotTree("/store"));      // a dangling link fails the whole snapshot
    EXPECT_FALSE(disk::snapshotTree("/nothing"));
    unlink("/store/dangling");
    auto snapshot = disk::snapshotTree("/store");
    if (!snapshot) return false;
    EXPECT_FALSE(disk::restoreTree(disk::snapshotTree("/store")));  // the directory exists
    snapshot->first()->magic = 0;
    std::filesystem::remove_all("/store");
    EXPECT_FALSE(disk::restoreTree(std::move(snapshot)));           // a lost magic restores nothing
    EXPECT_FALSE(std::filesystem::exists("/store"));
    return true;
  }));
}
