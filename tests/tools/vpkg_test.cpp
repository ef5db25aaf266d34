// The package tool, run as a program: packages it builds read back through
// the package reader with every field, every file byte and the expected
// signature level; its errors name the file and the reason.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <random>

#include "runtime/version.h"
#include "tests/support/process.h"
#include "tests/support/sandbox.h"
#include "tools/vpkg/inspect.h"
#include "tools/vpkg/package_writer.h"

using qvtest::ProcessResult;
using qvtest::readFile;
using qvtest::TempDir;
using qvtest::writeFile;

namespace {

const std::string kDevKey = QV_SOURCE_DIR "/keys/dev-private.key";

ProcessResult runVpkg(std::vector<std::string> arguments, std::vector<std::string> environment = {}) {
  std::vector<std::string> argv;
  if (!environment.empty()) {
    argv.push_back("env");
    argv.insert(argv.end(), environment.begin(), environment.end());
  }
  for (const std::string& a : qvtest::ownProgram(QV_VPKG, arguments)) argv.push_back(a);
  return qvtest::runProgram(argv);
}

std::string randomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = char(rng());
  return s;
}

vpkg::FileReport inspect(const std::string& path) {
  vpkg::FileReport report;
  std::string why;
  EXPECT_TRUE(vpkg::inspectPackageFile(path, cipher::builtinPackageKeys(), report, why)) << path << ": " << why;
  return report;
}

// A tree with an empty file, a 3 MiB random file, an executable and a link.
void makeTree(const std::string& root) {
  writeFile(root + "/etc/empty", "");
  writeFile(root + "/lib/big.bin", randomBytes(3 << 20, 3));
  writeFile(root + "/bin/tool", "#!/bin/sh\necho tool\n");
  chmod((root + "/bin/tool").c_str(), 0755);
  symlink("tool", (root + "/bin/alias").c_str());
}

}  // namespace

struct BuildCase {
  const char* name;
  std::string manifestExtra;
  std::vector<std::string> signing;
  int level;
  bool sha256;
  bool imageBased;
  bool overlay;
};

TEST(Vpkg, BuildRoundTrip) {
  TempDir dir;
  makeTree(dir / "root");
  writeFile(dir / "image.bin", randomBytes(100000, 9));
  const std::string common =
      "name = demo\nversion = 6.49.3\nbuild-time = 1700000000\nflags = boot-image\n"
      "description = first line\\nsecond line\nnote = a note\ntext-b = opaque\narchitecture = i386\n"
      "depends = base min 6.40 max 7.0\ndepends = libc\nprovides = dns min 6.49 priority -3\n"
      "conflicts = olddns max 6.40.9\nfiles = root\nmode = etc/empty 0600\nskip = bin/alias\n";
  const BuildCase cases[] = {
      {"Ed25519, SHA-1", "", {"--key", kDevKey}, 2, false, false, false},
      {"Ed25519, SHA-256, image payload", "digest = sha256\nimage = image.bin\n", {"--key", kDevKey}, 2, true, true, false},
      {"older scheme alone", "", {"--key", kDevKey, "--scheme", "older"}, 1, false, false, false},
      {"unsigned", "", {}, 0, false, false, false},
      {"overlay with trailer", "magic = overlay\ntrailer = yes\n", {"--key", kDevKey}, 2, false, false, true},
  };
  for (const BuildCase& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(dir / "m", common + c.manifestExtra);
    std::vector<std::string> args = {"build", dir / "m", "-o", dir / "p.vpk"};
    args.insert(args.end(), c.signing.begin(), c.signing.end());
    ProcessResult built = runVpkg(args);
    ASSERT_EQ(built.status, 0) << built.err;

    vpkg::FileReport report = inspect(dir / "p.vpk");
    ASSERT_EQ(report.packages.size(), 1u);
    const vpkg::PackageReport& p = report.packages[0];
    const pkg::PackageRecord& r = p.record;
    EXPECT_EQ(report.overlay, c.overlay);
    EXPECT_EQ(r.name, "demo");
    EXPECT_EQ(r.version, 0x06316603u);
    EXPECT_EQ(r.buildTime, 1700000000u);
    EXPECT_EQ(r.flags, pkg::FLAG_BOOT_IMAGE);
    EXPECT_EQ(r.textA, "first line\nsecond line");
    EXPECT_EQ(r.note, "a note");
    EXPECT_EQ(r.textB, "opaque");
    EXPECT_EQ(r.architecture, "i386");
    EXPECT_EQ(r.depends, (std::vector<pkg::DependencyEntry>{{"base", 0x06286600, 0x07006600, 0}, {"libc", 0, 0, 0}}));
    EXPECT_EQ(r.provides, (std::vector<pkg::DependencyEntry>{{"dns", 0x06316600, 0, -3}}));
    EXPECT_EQ(r.conflicts, (std::vector<pkg::DependencyEntry>{{"olddns", 0, 0x06286609, 0}}));
    EXPECT_EQ(r.imageBased, c.imageBased);
    EXPECT_EQ(p.imageSize, c.imageBased ? 100000u : 0u);
    EXPECT_EQ(p.sha256, c.sha256);
    EXPECT_EQ(p.level, c.level);
    const std::vector<int> trailer = {pkg::PART_ARCHITECTURE, pkg::PART_DEPENDS};
    EXPECT_EQ(p.trailer, c.overlay ? trailer : std::vector<int>());
    ASSERT_EQ(p.entries.size(), 4u);  // name order: bin/alias bin/tool etc/empty lib/big.bin
    EXPECT_EQ(p.entries[0].path, "bin/alias");
    EXPECT_EQ(p.entries[0].mode, 0120777);
    EXPECT_TRUE(p.entries[0].skipMarker);
    EXPECT_EQ(p.entries[1].mode, 0100755);
    EXPECT_EQ(p.entries[2].mode, 0100600);
    EXPECT_EQ(p.entries[3].size, 3u << 20);

    // The file bytes come back identical.
    const std::string out = dir / "out";
    ProcessResult extracted = runVpkg({"extract", dir / "p.vpk", out});
    EXPECT_EQ(extracted.status, 0) << extracted.err;
    EXPECT_EQ(readFile(out + "/lib/big.bin"), readFile(dir / "root/lib/big.bin"));
    EXPECT_EQ(readFile(out + "/bin/tool"), readFile(dir / "root/bin/tool"));
    struct stat st;
    ASSERT_EQ(lstat((out + "/etc/empty").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_NE(lstat((out + "/bin/alias").c_str(), &st), 0);  // skip marker
    std::filesystem::remove_all(out);

    ProcessResult verified = runVpkg({"verify", dir / "p.vpk"});
    EXPECT_EQ(verified.status, c.level == 2 ? 0 : 1);
    EXPECT_EQ(verified.out, "demo-6.49.3: level " + std::to_string(c.level) + ", requires 2: " +
                                (c.level == 2 ? "ok" : "NOT ENOUGH") + "\n");
  }
}

// Same inputs, same bytes; the build time defaults to SOURCE_DATE_EPOCH.
TEST(Vpkg, ReproducibleBuilds) {
  TempDir dir;
  makeTree(dir / "root");
  writeFile(dir / "m", "name = demo\nversion = 7.1beta4\nfiles = root\n");
  for (const char* scheme : {"ed25519", "older"}) {
    SCOPED_TRACE(scheme);
    ASSERT_EQ(runVpkg({"build", dir / "m", "-o", dir / "a.vpk", "--key", kDevKey, "--scheme", scheme}, {"SOURCE_DATE_EPOCH=123"}).status, 0);
    ASSERT_EQ(runVpkg({"build", dir / "m", "-o", dir / "b.vpk", "--key", kDevKey, "--scheme", scheme}, {"SOURCE_DATE_EPOCH=123"}).status, 0);
    EXPECT_EQ(readFile(dir / "a.vpk"), readFile(dir / "b.vpk"));
    EXPECT_EQ(inspect(dir / "a.vpk").packages.at(0).record.buildTime, 123u);
  }
}

TEST(Vpkg, BundleWithDisableList) {
  TempDir dir;
  writeFile(dir / "a/etc/a", "a");
  writeFile(dir / "b/etc/b", "b");
  writeFile(dir / "ma", "name = alpha\nversion = 6.49\nbuild-time = 1\nfiles = a\n");
  writeFile(dir / "mb", "name = beta\nversion = 6.49.1\nbuild-time = 2\nfiles = b\ndigest = sha256\ndepends = alpha\n");
  ASSERT_EQ(runVpkg({"build", dir / "ma", "-o", dir / "a.vpk", "--key", kDevKey}).status, 0);
  ASSERT_EQ(runVpkg({"build", dir / "mb", "-o", dir / "b.vpk", "--key", kDevKey}).status, 0);
  writeFile(dir / "img", "bundle image");
  ProcessResult r = runVpkg({"bundle", "-o", dir / "bundle.vpk", "--name", "suite", "--version", "6.49", "--build-time", "5",
                          "--note", "two packages", "--disable", "gamma", "--disable", "delta", "--image", dir / "img",
                          dir / "a.vpk", dir / "b.vpk"});
  ASSERT_EQ(r.status, 0) << r.err;
  vpkg::FileReport report = inspect(dir / "bundle.vpk");
  EXPECT_TRUE(report.isBundle);
  EXPECT_EQ(report.bundle.record.name, "suite");
  EXPECT_EQ(report.bundle.record.note, "two packages");
  EXPECT_EQ(report.bundle.imageSize, 12u);
  ASSERT_EQ(report.disableList.size(), 2u);
  EXPECT_EQ(report.disableList[1].name, "delta");
  // The image payload comes before the disable list, the order installation reads.
  const std::string bytes = readFile(dir / "bundle.vpk");
  std::vector<int> types;
  for (size_t at = 8; at + 6 <= bytes.size();) {
    types.push_back(uint8_t(bytes[at]) | uint8_t(bytes[at + 1]) << 8);
    at += 6 + (uint32_t(uint8_t(bytes[at + 2])) | uint32_t(uint8_t(bytes[at + 3])) << 8 |
               uint32_t(uint8_t(bytes[at + 4])) << 16 | uint32_t(uint8_t(bytes[at + 5])) << 24);
  }
  ASSERT_GE(types.size(), 4u);
  EXPECT_EQ(std::vector<int>(types.begin(), types.begin() + 4),
            (std::vector<int>{pkg::PART_BUNDLE_HEADER, pkg::PART_NOTE, pkg::PART_IMAGE_PAYLOAD, pkg::PART_DISABLE_LIST}));
  ASSERT_EQ(report.packages.size(), 2u);
  EXPECT_EQ(report.packages[0].record.name, "alpha");
  EXPECT_EQ(report.packages[0].level, 2);
  EXPECT_FALSE(report.packages[0].sha256);
  EXPECT_EQ(report.packages[1].record.name, "beta");
  EXPECT_EQ(report.packages[1].level, 2);
  EXPECT_TRUE(report.packages[1].sha256);
  ProcessResult verified = runVpkg({"verify", dir / "bundle.vpk"});
  EXPECT_EQ(verified.status, 0);
  EXPECT_EQ(verified.out, "alpha-6.49: level 2, requires 2: ok\nbeta-6.49.1: level 2, requires 2: ok\n");

  // A SHA-1 member after a SHA-256 one could never verify: refused.
  r = runVpkg({"bundle", "-o", dir / "bad.vpk", "--name", "s", "--version", "6.49", dir / "b.vpk", dir / "a.vpk"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("a SHA-1 member cannot follow a SHA-256 member"), std::string::npos) << r.err;
}

// Verification against another key file, and the level a package needs.
TEST(Vpkg, KeygenAndVerifyWithOtherKeys) {
  TempDir dir;
  ASSERT_EQ(runVpkg({"keygen", dir / "k.priv", dir / "k.pub"}).status, 0);
  EXPECT_EQ(readFile(dir / "k.pub").size(), 64u);
  ProcessResult again = runVpkg({"keygen", dir / "k.priv", dir / "other.pub"});
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.err, "vpkg: " + (dir / "k.priv") + ": file exists, not overwritten\n");
  writeFile(dir / "m", "name = demo\nversion = 6.49\nbuild-time = 1\n");
  ASSERT_EQ(runVpkg({"build", dir / "m", "-o", dir / "p.vpk", "--key", dir / "k.priv"}).status, 0);
  EXPECT_EQ(runVpkg({"verify", dir / "p.vpk"}).out, "demo-6.49: level 0, requires 2: NOT ENOUGH\n");
  ProcessResult own = runVpkg({"verify", dir / "p.vpk", "--keys", dir / "k.pub"});
  EXPECT_EQ(own.status, 0);
  EXPECT_EQ(own.out, "demo-6.49: level 2, requires 2: ok\n");
  // An older version needs only level 1.
  writeFile(dir / "m", "name = demo\nversion = 6.46.8\nbuild-time = 1\n");
  ASSERT_EQ(runVpkg({"build", dir / "m", "-o", dir / "old.vpk", "--key", dir / "k.priv", "--scheme", "older"}).status, 0);
  EXPECT_EQ(runVpkg({"verify", dir / "old.vpk", "--keys", dir / "k.pub"}).out, "demo-6.46.8: level 1, requires 1: ok\n");
}

TEST(Vpkg, ExtractRefusesPathsOutsideTheDirectory) {
  TempDir dir;
  for (const char* path : {"../escaped", "a/../../escaped", "ok/../../escaped"}) {
    SCOPED_TRACE(path);
    vpkg::PackageWriter w;
    ASSERT_TRUE(w.open(dir / "evil.vpk"));
    ASSERT_TRUE(w.part(pkg::PART_HEADER, vpkg::headerPayload("evil", 0x06316603, 1, 0)));
    uint64_t size = 0;
    FILE* files = vpkg::compressFileEntries({{"good", 0100644, false, "", "g"}, {path, 0100644, false, "", "x"}}, size);
    ASSERT_TRUE(files);
    ASSERT_TRUE(w.partFromFile(pkg::PART_FILES, files, size));
    fclose(files);
    ASSERT_TRUE(w.close());
    qvtest::makeDirs(dir / "out/inner");
    ProcessResult r = runVpkg({"extract", dir / "evil.vpk", dir / "out/inner"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("refusing " + std::string(path)), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "out/escaped"));
    EXPECT_FALSE(std::filesystem::exists(dir / "escaped"));
  }
  // A symbolic link in the target directory is not followed out of it.
  qvtest::makeDirs(dir / "t");
  qvtest::makeDirs(dir / "elsewhere");
  symlink((dir / "elsewhere").c_str(), (dir / "t/etc").c_str());
  writeFile(dir / "root/etc/x", "x");
  writeFile(dir / "m", "name = demo\nversion = 6.49\nbuild-time = 1\nfiles = root\n");
  ASSERT_EQ(runVpkg({"build", dir / "m", "-o", dir / "p.vpk"}).status, 0);
  EXPECT_EQ(runVpkg({"extract", dir / "p.vpk", dir / "t"}).status, 1);
  EXPECT_FALSE(std::filesystem::exists(dir / "elsewhere/x"));
}

TEST(Vpkg, ErrorsAndHelp) {
  TempDir dir;
  writeFile(dir / "bad.vpk", "not a package at all");
  writeFile(dir / "m1", "name = demo\nversion = 6.49\ncolour = blue\n");
  writeFile(dir / "m2", "name = demo\nversion = six\n");
  writeFile(dir / "m3", "name = a/b\nversion = 6.49\n");
  writeFile(dir / "m4", "version = 6.49\n");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;  // expected text of standard error (prefix)
  } cases[] = {
      {{}, 2, "usage: vpkg COMMAND"},
      {{"frobnicate"}, 2, "vpkg: unknown command 'frobnicate'"},
      {{"build"}, 2, "usage: vpkg build"},
      {{"build", dir / "missing", "-o", dir / "x.vpk"}, 1, "vpkg: " + (dir / "missing") + ": cannot open the manifest"},
      {{"build", dir / "m1", "-o", dir / "x.vpk"}, 1, "vpkg: " + (dir / "m1") + ":3: unknown key 'colour'"},
      {{"build", dir / "m2", "-o", dir / "x.vpk"}, 1, "vpkg: " + (dir / "m2") + ":2: not a version: six"},
      {{"build", dir / "m3", "-o", dir / "x.vpk"}, 1, "vpkg: " + (dir / "m3") + ":1: a name has 1 to 16"},
      {{"build", dir / "m4", "-o", dir / "x.vpk"}, 1, "vpkg: " + (dir / "m4") + ": a manifest needs a name and a version"},
      {{"build", dir / "m4", "-o", dir / "x.vpk", "--scheme", "older"}, 2, "vpkg: --scheme older needs --key"},
      {{"info", dir / "missing.vpk"}, 1, "vpkg: " + (dir / "missing.vpk") + ": cannot open"},
      {{"info", dir / "bad.vpk"}, 1, "vpkg: " + (dir / "bad.vpk") + ": not a package file (unknown magic)"},
      {{"verify", dir / "bad.vpk"}, 1, "vpkg: " + (dir / "bad.vpk") + ": not a package file"},
      {{"verify", dir / "bad.vpk", "--keys", dir / "missing.pub"}, 1, "vpkg: " + (dir / "missing.pub") + ": no such file"},
      {{"extract", dir / "bad.vpk", dir / "o"}, 1, "vpkg: " + (dir / "bad.vpk") + ": not a package file"},
      {{"bundle", "-o", dir / "b.vpk", "--name", "b", "--version", "6.49", dir / "bad.vpk"}, 1,
       "vpkg: " + (dir / "bad.vpk") + ": not a package file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
    ProcessResult r = runVpkg(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err.substr(0, c.err.size()), c.err) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "x.vpk"));  // no half-written output
  }
  for (const char* command : {"keygen", "build", "bundle", "info", "verify", "extract"}) {
    ProcessResult r = runVpkg({command, "--help"});
    EXPECT_EQ(r.status, 0) << command;
    EXPECT_EQ(r.out.substr(0, 13 + strlen(command)), std::string("usage: vpkg ") + command + " ") << command;
  }
  EXPECT_EQ(runVpkg({"--help"}).status, 0);
}
