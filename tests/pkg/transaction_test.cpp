#include "pkg/transaction.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <random>

#include "tests/support/process.h"
#include "tests/support/sandbox.h"

using pkg::NewFile;
using pkg::Transaction;
using qvtest::readFile;
using qvtest::TempDir;
using qvtest::writeFile;

namespace {

// A root where /flash and /ram are two tmpfs mounts (so a rename between
// them crosses file systems); flashOptions sizes /flash.
bool inRoot(const std::function<bool()>& fn, const std::string& flashOptions = "size=64m") {
  TempDir root;
  qvtest::makeDirs(root / "flash");
  qvtest::makeDirs(root / "ram");
  qvtest::makeDirs(root / "tmp");
  qvtest::RootOptions options;
  options.beforeChroot = [&] {
    return mount("flash", (root / "flash").c_str(), "tmpfs", 0, flashOptions.c_str()) == 0 &&
           mount("ram", (root / "ram").c_str(), "tmpfs", 0, "size=64m") == 0;
  };
  return qvtest::runInRoot(root.path(), fn, options);
}

std::string randomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = char(rng());
  return s;
}

std::string sourceOf(const Transaction& t, const std::string& destination) {
  auto it = t.entries().find(destination);
  return it == t.entries().end() ? "" : it->second.source;
}

bool put(Transaction& t, const std::string& destination, uint64_t hint, const std::string& content, mode_t mode = 0644) {
  NewFile f = t.newFile(destination, hint, mode);
  return f.write(content) && f.close();
}

mode_t modeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

}  // namespace

// Where temporary files go: in the staging directory of the destination's
// file system when there is room, so that a later run finds them.
TEST(Transaction, TemporaryFilePlacement) {
  EXPECT_TRUE(inRoot([] {
    qvtest::makeDirs("/flash/var/pdb");
    Transaction t;
    EXPECT_TRUE(put(t, "/flash/var/pdb/x/version", 32, "1 2\n"));
    const std::string source = sourceOf(t, "/flash/var/pdb/x/version");
    EXPECT_EQ(source.substr(0, 22), "/flash/.qv-staging/tmp");
    EXPECT_EQ(source.size(), 28u);  // "tmp" and six characters of mkstemp
    EXPECT_TRUE(put(t, "/flash/var/pdb/y", 0, "zero hint"));
    EXPECT_EQ(sourceOf(t, "/flash/var/pdb/y").substr(0, 20), "/ram/.qv-staging/tmp");
    EXPECT_TRUE(put(t, "/flash/huge", 100ull << 20, "larger than /flash"));
    EXPECT_EQ(sourceOf(t, "/flash/huge").substr(0, 20), "/ram/.qv-staging/tmp");
    EXPECT_EQ(t.commit(), 0);
    EXPECT_EQ(readFile("/flash/var/pdb/x/version"), "1 2\n");  // x created by the commit
    EXPECT_EQ(readFile("/flash/var/pdb/y"), "zero hint");
    EXPECT_EQ(access(source.c_str(), F_OK), -1);
    return true;
  }));
  // Without /ram a zero hint goes to /tmp.
  TempDir root;
  qvtest::makeDirs(root / "tmp");
  EXPECT_TRUE(qvtest::runInRoot(root.path(), [] {
    Transaction t;
    EXPECT_TRUE(put(t, "/flash/x", 0, "x"));
    EXPECT_EQ(sourceOf(t, "/flash/x").substr(0, 20), "/tmp/.qv-staging/tmp");
    t.cancel();
    EXPECT_EQ(access(sourceOf(t, "/flash/x").c_str(), F_OK), -1);
    return true;
  }));
}

TEST(Transaction, RecordingRules) {
  EXPECT_TRUE(inRoot([] {
    writeFile("/flash/existing", "old");
    writeFile("/flash/file", "f");
    qvtest::makeDirs("/flash/dir");
    Transaction t;
    t.remove("/flash/missing");  // nothing there, nothing recorded
    EXPECT_TRUE(t.isEmpty());

    // A deletion of a path that does not exist drops its pending new file, and the temporary file with it.
    EXPECT_TRUE(put(t, "/flash/new", 0, "n"));
    const std::string temporary = sourceOf(t, "/flash/new");
    t.remove("/flash/new");
    EXPECT_TRUE(t.isEmpty());
    EXPECT_EQ(access(temporary.c_str(), F_OK), -1);

    // A new entry replaces the old one (deleting a replaced temporary file).
    EXPECT_TRUE(put(t, "/flash/existing", 0, "first"));
    const std::string replaced = sourceOf(t, "/flash/existing");
    EXPECT_TRUE(put(t, "/flash/existing", 0, "second"));
    EXPECT_EQ(access(replaced.c_str(), F_OK), -1);
    EXPECT_TRUE(t.writes("/flash/existing"));

    // directoryUsable: a pending deletion is cancelled, any other change makes it unusable.
    t.remove("/flash/dir");
    EXPECT_TRUE(t.directoryUsable("/flash/dir"));
    EXPECT_TRUE(t.entries().find("/flash/dir") == t.entries().end());
    EXPECT_FALSE(t.directoryUsable("/flash/existing"));
    EXPECT_FALSE(t.directoryUsable("/flash/file"));   // a file, not a directory
    EXPECT_TRUE(t.directoryUsable("/flash/nothing"));

    // Checkpoint and restore: what was recorded after is forgotten, its temporary files deleted.
    auto saved = t.checkpoint();
    EXPECT_TRUE(put(t, "/flash/later", 0, "later"));
    const std::string later = sourceOf(t, "/flash/later");
    t.remove("/flash/file");
    t.restore(saved);
    EXPECT_EQ(access(later.c_str(), F_OK), -1);
    EXPECT_TRUE(t.entries().find("/flash/file") == t.entries().end());
    EXPECT_TRUE(t.writes("/flash/existing"));
    const std::string kept = sourceOf(t, "/flash/existing");
    EXPECT_EQ(readFile(kept), "second");
    t.cancel();
    EXPECT_EQ(access(kept.c_str(), F_OK), -1);
    EXPECT_TRUE(t.isEmpty());
    EXPECT_EQ(readFile("/flash/existing"), "old");
    return true;
  }));
}

TEST(Transaction, CommitCarriesOutEveryKind) {
  EXPECT_TRUE(inRoot([] {
    writeFile("/flash/gone", "delete me");
    writeFile("/flash/dir/a", "a");
    writeFile("/flash/dir/b", "b");
    writeFile("/flash/kept/.hidden", "h");
    writeFile("/flash/kept/visible", "v");
    writeFile("/flash/link", "a file the link replaces");
    writeFile("/flash/moved-from", "moved");
    Transaction t;
    t.remove("/flash/gone");
    t.remove("/flash/dir");
    t.remove("/flash/kept");
    t.link("/flash/link", "target");
    t.link("/flash/new/deep/link", "/elsewhere");
    t.move("/flash/moved/to", "/flash/moved-from");
    EXPECT_TRUE(put(t, "/flash/first", 1, "first"));
    EXPECT_TRUE(put(t, "/flash/a/b/c", 10, "nested", 0600));
    // Large enough that its writeback is started while it is written.
    const std::string big = randomBytes((3 << 20) + 12345, 7);
    {
      NewFile f = t.newFile("/flash/big", big.size(), 0644);
      for (size_t at = 0; at < big.size(); at += 100000)
        EXPECT_TRUE(f.write(big.data() + at, std::min<size_t>(100000, big.size() - at)));
      EXPECT_TRUE(f.close());
    }
    EXPECT_EQ(t.commit("/flash/first"), 0);
    EXPECT_TRUE(readFile("/flash/big") == big);
    EXPECT_EQ(access("/flash/gone", F_OK), -1);
    EXPECT_EQ(access("/flash/dir", F_OK), -1);
    // A directory holding a hidden file keeps it, and stays.
    EXPECT_EQ(readFile("/flash/kept/.hidden"), "h");
    EXPECT_EQ(access("/flash/kept/visible", F_OK), -1);
    char target[64] = {};
    EXPECT_EQ(readlink("/flash/link", target, sizeof target), 6);
    EXPECT_STREQ(target, "target");
    EXPECT_GT(readlink("/flash/new/deep/link", target, sizeof target), 0);
    EXPECT_EQ(readFile("/flash/moved/to"), "moved");
    EXPECT_EQ(readFile("/flash/first"), "first");
    EXPECT_EQ(readFile("/flash/a/b/c"), "nested");
    EXPECT_EQ(modeOf("/flash/a/b/c"), 0600u);
    EXPECT_TRUE(t.entries().find("/flash/first") == t.entries().end());  // carried out first and dropped
    return true;
  }));
}

// A new file in /ram for a destination on /flash: the rename fails with EXDEV
// and the content is copied, with the file's mode, byte for byte.
TEST(Transaction, CrossDeviceCommitCopies) {
  EXPECT_TRUE(inRoot([] {
    writeFile("/flash/lib/libx.so", randomBytes(100000, 1));
    const std::string content = randomBytes(300000, 2);
    Transaction t;
    EXPECT_TRUE(put(t, "/flash/lib/libx.so", 0, content, 0755));
    EXPECT_TRUE(put(t, "/flash/lib/empty", 0, "", 0640));
    const std::string temporary = sourceOf(t, "/flash/lib/libx.so");
    EXPECT_EQ(temporary.substr(0, 5), "/ram/");
    EXPECT_EQ(t.commit(), 0);
    EXPECT_EQ(readFile("/flash/lib/libx.so"), content);
    EXPECT_EQ(modeOf("/flash/lib/libx.so"), 0755u);
    EXPECT_EQ(readFile("/flash/lib/empty"), "");
    EXPECT_EQ(modeOf("/flash/lib/empty"), 0640u);
    EXPECT_EQ(t.entries().at("/flash/lib/libx.so").kind, pkg::ENTRY_COPY);
    EXPECT_EQ(access(temporary.c_str(), F_OK), -1);  // the copy replaced the temporary file
    return true;
  }));
}

// When the new content cannot fit, the old file is neither cut nor
// overwritten, the commit reports the failure, and nothing else of the
// transaction is done either: all or nothing.
TEST(Transaction, CrossDeviceCopyThatCannotFitKeepsTheOldFile) {
  EXPECT_TRUE(inRoot(
      [] {
        const std::string old = randomBytes(200000, 3);
        writeFile("/flash/lib/libx.so", old);
        Transaction t;
        EXPECT_TRUE(put(t, "/flash/lib/libx.so", 0, randomBytes(2 << 20, 4)));
        EXPECT_TRUE(put(t, "/flash/lib/small", 0, "fits"));
        EXPECT_GT(t.commit(), 0);
        EXPECT_EQ(readFile("/flash/lib/libx.so"), old);
        EXPECT_EQ(access("/flash/lib/small", F_OK), -1);
        EXPECT_EQ(access("/flash/.qv-staging", F_OK), -1);  // no staged copy left behind
        return true;
      },
      "size=1m"));
}

// A manifest saved by one process is committed by another with the same result.
TEST(Transaction, ManifestRoundTrip) {
  TempDir root;
  qvtest::makeDirs(root / "flash");
  qvtest::makeDirs(root / "ram");
  writeFile(root / "flash/old", "old");
  writeFile(root / "flash/replace", "before");
  EXPECT_TRUE(qvtest::runInRoot(root.path(), [] {
    Transaction t;
    t.remove("/flash/old");
    t.link("/flash/link", "old");
    EXPECT_TRUE(put(t, "/flash/replace", 0, "after"));
    EXPECT_TRUE(put(t, "/flash/sub/new", 0, "new"));
    EXPECT_TRUE(t.saveManifest("/ram/MANIFEST"));
    return true;
  }));
  const std::string manifest = readFile(root / "ram/MANIFEST");
  // In key order: L destination target, U destination, M destination source.
  EXPECT_EQ(manifest.substr(0, 32), "L /flash/link old\nU /flash/old\nM");
  EXPECT_NE(manifest.find("\nM /flash/replace /ram/.qv-staging/tmp"), std::string::npos) << manifest;
  EXPECT_NE(manifest.find("\nM /flash/sub/new /ram/.qv-staging/tmp"), std::string::npos) << manifest;
  EXPECT_TRUE(qvtest::runInRoot(root.path(), [] {
    Transaction t;
    EXPECT_TRUE(t.loadManifest("/ram/MANIFEST"));
    EXPECT_EQ(t.commit(), 0);
    return true;
  }));
  EXPECT_EQ(access((root / "flash/old").c_str(), F_OK), -1);
  EXPECT_EQ(readFile(root / "flash/replace"), "after");
  EXPECT_EQ(readFile(root / "flash/sub/new"), "new");

  struct Case {
    const char* name;
    std::string text;
    bool loads;
    size_t entries;
  } cases[] = {
      // A manifest that is malformed anywhere is refused whole: nothing recorded.
      {"M with a single path", "U /flash/a\nM /flash/b\n", false, 0},
      {"L with a single path", "L /flash/b\n", false, 0},
      {"a lone word", "U\n", false, 0},
      {"a field too many", "U /flash/a x\n", false, 0},
      {"an empty field", "M /flash/a  /ram/x\n", false, 0},
      {"a line cut at a NUL", std::string("U /flash/a\nU /flash/bin/ab\0c\n", 29), false, 0},
      {"a last line cut short", "U /flash/a\nU /flash/bi", false, 0},
      {"a relative path", "U flash/a\n", false, 0},
      {"a parent component", "U /flash/../etc/passwd\n", false, 0},
      {"an empty line ends the file", "U /flash/a\n\nU /flash/b\n", true, 1},
      {"unknown lines are ignored", "X what ever\nU /flash/a\n", true, 1},
      {"nothing", "", false, 0},
      {"a deletion is recorded without looking", "U /flash/never-existed\n", true, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(root / "m", c.text);
    Transaction t;
    EXPECT_EQ(t.loadManifest(root / "m"), c.loads);
    EXPECT_EQ(t.entries().size(), c.entries);
  }
  Transaction t;
  EXPECT_FALSE(t.loadManifest(root / "no-such-manifest"));
}

// enoughSpace on a nearly full ext2 file system mounted through a loop device.
TEST(Transaction, EnoughSpaceOnANearlyFullFileSystem) {
  TempDir root;
  qvtest::makeDirs(root / "flash");
  qvtest::makeDirs(root / "ram");
  auto made = qvtest::runProgram({"mke2fs", "-q", "-F", "-t", "ext2", "-b", "1024", "-m", "0", root / "flash.img", "2048"});
  ASSERT_EQ(made.status, 0) << made.err;
  qvtest::RootOptions options;
  options.beforeChroot = [&] {
    return qvtest::runProgram({"mount", "-o", "loop", root / "flash.img", root / "flash"}).status == 0 &&
           mount("ram", (root / "ram").c_str(), "tmpfs", 0, "size=16m") == 0;
  };
  EXPECT_TRUE(qvtest::runInRoot(
      root.path(),
      [] {
        struct statfs fs;
        EXPECT_EQ(statfs("/flash", &fs), 0);
        EXPECT_EQ(fs.f_bsize, 1024);
        // Fill /flash until 40 blocks are left.
        const long filler = long(fs.f_bfree) - 40 - 4;  // a few blocks go to the filler's own indirect blocks
        writeFile("/flash/filler", std::string(size_t(filler) * 1024, 'f'));
        writeFile("/flash/small", std::string(3 * 1024, 's'));
        statfs("/flash", &fs);
        const long freeBlocks = long(fs.f_bfree);
        EXPECT_GT(freeBlocks, 20);
        EXPECT_LT(freeBlocks, 60);
        struct Case {
          const char* name;
          long newBlocks;       // a new file from /ram of this many blocks
          bool deleteSmall;     // and the deletion of a 3-block file
          bool deleteFiller;
          bool expected;
        } cases[] = {
            {"nothing to do", 0, false, false, true},
            {"room left after the change", freeBlocks - 20, false, false, true},
            {"16 blocks or fewer left", freeBlocks - 16, false, false, false},
            {"a deletion pays for it", freeBlocks - 16, true, false, true},
            {"more than free", freeBlocks + 100, false, false, false},
            {"freeing space is always fine", 0, true, false, true},
            {"much freed", freeBlocks + 100, false, true, true},
        };
        for (const Case& c : cases) {
          SCOPED_TRACE(c.name);
          Transaction t;
          if (c.newBlocks > 0) {
            EXPECT_TRUE(put(t, "/flash/new", 0, std::string(size_t(c.newBlocks) * 1024, 'n')));
          }
          if (c.deleteSmall) t.remove("/flash/small");
          if (c.deleteFiller) t.remove("/flash/filler");
          EXPECT_EQ(t.enoughSpace(), c.expected);
          t.cancel();
        }
        // A path under /flash/boot is charged to /flash/boot alone.
        qvtest::makeDirs("/flash/boot");
        EXPECT_EQ(mount("boot", "/flash/boot", "tmpfs", 0, "size=8m"), 0);
        Transaction t;
        EXPECT_TRUE(put(t, "/flash/boot/kernel", 0, std::string(size_t(freeBlocks + 100) * 1024, 'k')));
        EXPECT_TRUE(t.enoughSpace());
        t.cancel();
        umount("/flash/boot");
        return true;
      },
      options));
}
