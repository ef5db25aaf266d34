// The kept image of an installed package (its package file, or the boot
// image): it is placed only from the whole copy of a package that was
// installed, and stays byte-identical when the same package comes again.
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>

#include "pkg/install.h"
#include "tests/installer/installer_root.h"
#include "tests/support/tree.h"

using qvtest::exists;
using qvtest::package;
using qvtest::ProcessResult;
using qvtest::readFile;
using qvtest::SmallPackage;
using qvtest::TempDir;
using qvtest::write;
using Root = qvtest::InstallerRoot;

namespace {

std::string randomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string bytes(n, '\0');
  for (char& c : bytes) c = char(rng());
  return bytes;
}

// An image-based package larger than a pipe holds, so that a copy cut short
// would show.
SmallPackage imagePackage(const std::string& name, bool boot) {
  SmallPackage p = package(name, 0x06316600, {{"boot/" + name, 0100644, false, "", name + " files"}});
  p.image = randomBytes(100000, 7);
  if (boot) p.flags = pkg::FLAG_BOOT_IMAGE;
  return p;
}

std::string linkTarget(const std::string& path) {
  char target[256] = {};
  return readlink(path.c_str(), target, sizeof target - 1) > 0 ? target : "";
}

}  // namespace

// The same version again, through "-" with and without --reinstall: the run
// succeeds and the kept image (or boot image and its link) stays as it was.
TEST(KeptImage, SameVersionAgainKeepsTheImage) {
  struct Case {
    const char* name;
    bool boot;
    bool bootimage;  // the environment variable
  } cases[] = {
      {"image-based package", false, false},
      {"boot package, bootimage set", true, true},
      {"boot package, bootimage not set", true, false},
  };
  for (const Case& c : cases) {
    for (bool reinstall : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (reinstall ? ", --reinstall -" : ", -"));
      Root root;
      TempDir scratch;
      const std::string bytes = write(scratch, imagePackage("kernel", c.boot));
      const std::vector<std::string> env = c.bootimage ? std::vector<std::string>{"bootimage=1"} : std::vector<std::string>{};
      ProcessResult first = root.run({"-"}, bytes, env);
      ASSERT_EQ(first.status, 0) << first.out;
      if (c.bootimage) {
        EXPECT_EQ(readFile(root / "flash/bootimage"), bytes);
        EXPECT_EQ(linkTarget(root / "flash/var/pdb/kernel/image"), "/flash/bootimage");
      } else {
        EXPECT_EQ(readFile(root / "flash/var/pdb/kernel/image"), bytes);
      }
      const auto before = root.tree();
      std::vector<std::string> args = {"-"};
      if (reinstall) args.insert(args.begin(), "--reinstall");
      ProcessResult again = root.run(args, bytes, env);
      EXPECT_EQ(again.status, 0) << again.out;
      EXPECT_NE(again.out.find(reinstall ? "installed kernel-6.49\n" : "WARNING: omitting package kernel-6.49: it is already installed\n"),
                std::string::npos)
          << again.out;
      EXPECT_EQ(root.tree(), before);  // byte for byte, and no /flash/bootimage made
      EXPECT_FALSE(exists(root / "flash/var/pdb/image"));  // the copy is gone
    }
  }
}

// The install child's image mode, given the same package twice (an
// installation server may send a package twice).
TEST(KeptImage, InstallChildGivenTheSamePackageTwice) {
  for (bool boot : {false, true}) {
    SCOPED_TRACE(boot ? "boot package, bootimage set" : "image-based package");
    Root root;
    TempDir scratch;
    const std::string bytes = write(scratch, imagePackage("system", boot));
    EXPECT_TRUE(qvtest::runInRoot(root.path(), [&] {
      if (boot) setenv("bootimage", "1", 1);
      std::vector<std::string> first;
      for (int child = 0; child < 2; ++child) {
        pkg::PackageSet set;  // a fresh child for every package
        set.quiet = true;
        pkg::MemorySource input(bytes.data(), bytes.size());
        EXPECT_EQ(pkg::installImage(set, input, {}), 0);
        if (child == 0)
          first = qvtest::treeListing("/flash");
        else
          EXPECT_EQ(qvtest::treeListing("/flash"), first);
      }
      return true;
    }));
    EXPECT_EQ(readFile(root / (boot ? "flash/bootimage" : "flash/var/pdb/system/image")), bytes);
    EXPECT_FALSE(exists(root / "flash/image"));
  }
}

// A boot package without an image payload, with bootimage set: its file
// becomes the boot image (it is not unpacked), and it lists and uninstalls
// like any other. Without bootimage it is unpacked and keeps no image.
TEST(KeptImage, BootPackageWithoutImagePayload) {
  SmallPackage kernel = package("kernel", 0x06316600, {{"boot/vmlinuz", 0100644, false, "", "kernel"}});
  kernel.flags = pkg::FLAG_BOOT_IMAGE;
  for (bool viaChild : {false, true}) {
    SCOPED_TRACE(viaChild ? "install child" : "installer -");
    Root root;
    TempDir scratch;
    const std::string bytes = write(scratch, kernel);
    if (viaChild) {
      EXPECT_TRUE(qvtest::runInRoot(root.path(), [&] {
        setenv("bootimage", "1", 1);
        pkg::PackageSet set;
        set.quiet = true;
        pkg::MemorySource input(bytes.data(), bytes.size());
        EXPECT_EQ(pkg::installImage(set, input, {}), 0);
        return true;
      }));
    } else {
      ProcessResult r = root.run({"-"}, bytes, {"bootimage=1"});
      EXPECT_EQ(r.status, 0) << r.out;
    }
    EXPECT_EQ(readFile(root / "flash/bootimage"), bytes);
    EXPECT_EQ(linkTarget(root / "flash/var/pdb/kernel/image"), "/flash/bootimage");
    EXPECT_FALSE(exists(root / "flash/boot/vmlinuz"));
    EXPECT_TRUE(exists(root / "flash/UPGRADED"));
    EXPECT_NE(root.run({"--show"}).out.find("          kernel             6.49 "), std::string::npos);
    // Uninstalled, it takes its boot image along.
    qvtest::writeFile(root / "ram/pdb/kernel/schedule", "uninstall\n");
    qvtest::writeFile(root / "flash/var/pdb/keep/version", "103900672 0\n");  // something must stay installed
    qvtest::writeFile(root / "flash/var/pdb/keep/files", "");
    ProcessResult r = root.run({});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(exists(root / "flash/bootimage"));
    EXPECT_FALSE(exists(root / "flash/var/pdb/kernel"));
  }
  Root plain;
  TempDir scratch;
  ProcessResult r = plain.run({"-"}, write(scratch, kernel));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(readFile(plain / "flash/boot/vmlinuz"), "kernel");
  EXPECT_FALSE(exists(plain / "flash/bootimage"));
  EXPECT_FALSE(exists(plain / "flash/var/pdb/kernel/image"));
}

// "installed (disabled) ..." of a package already installed tells the state
// the new package would have, not the installed record's.
TEST(KeptImage, ReinstalledStateFollowsTheNewPackage) {
  Root root;
  TempDir scratch;
  const std::string bytes = write(scratch, package("app", 0x06316600, {{"bin/app", 0100755, false, "", "app"}}));
  ASSERT_EQ(root.run({"-"}, bytes).status, 0);
  qvtest::writeFile(root / "flash/var/pdb/app/disabled", "user\n");
  ProcessResult r = root.run({"--reinstall", "-"}, bytes);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("installed app-6.49\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("(disabled)"), std::string::npos) << r.out;
}
