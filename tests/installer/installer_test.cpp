// The installer command, run as a program in a throw-away root (a private
// mount namespace, chrooted), with packages written by the package tool's
// library and signed with the development key.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>

#include "pkg/install.h"
#include "tests/installer/installer_root.h"
#include "tests/support/tree.h"

using qvtest::bundleOf;
using qvtest::exists;
using qvtest::installerCommand;
using qvtest::installerRoot;
using qvtest::kEmulated;
using qvtest::kHeading;
using qvtest::makeDirs;
using qvtest::package;
using qvtest::write;
using qvtest::ProcessResult;
using qvtest::readFile;
using qvtest::SmallPackage;
using qvtest::TempDir;
using qvtest::writeFile;
using Root = qvtest::InstallerRoot;

TEST(Installer, InstallFromStandardInputAndList) {
  Root root;
  TempDir scratch;
  SmallPackage app = package("app", 0x06316603, {{"bin/app", 0100755, false, "", "app v1"}, {"etc/app.conf", 0100644, false, "", "conf"}});
  app.note = "the app";
  ProcessResult r = root.run({"-"}, write(scratch, app));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(readFile(root / "flash/bin/app"), "app v1");
  EXPECT_EQ(readFile(root / "flash/var/pdb/app/files"), "flash/bin/app\nflash/etc/app.conf\n");
  EXPECT_TRUE(std::filesystem::exists(root / "flash/PCKGS_CHANGED"));
  // Not image-based: no copy of the package stays behind.
  EXPECT_FALSE(std::filesystem::exists(root / "flash/var/pdb/image"));
  EXPECT_FALSE(std::filesystem::exists(root / "image"));

  ProcessResult shown = root.run({"--show"});
  EXPECT_EQ(shown.status, 0);
  // A package loaded from its meta files has no note.
  EXPECT_EQ(shown.out, kHeading + "             app           6.49.3 Nov/14/2023 22:13:20 " + std::string(40, ' ') + "\n");
  // -r lists the tree under another directory.
  makeDirs(root / "other/flash/var/pdb");
  ProcessResult other = root.run({"-r", "/other", "--show"});
  EXPECT_EQ(other.out, kHeading);
}

TEST(Installer, ListingColumns) {
  Root root;
  writeFile(root / "flash/var/pdb/a-very-long-package-name/version", "103900672 0\n");
  writeFile(root / "flash/var/pdb/a-very-long-package-name/files", "");
  writeFile(root / "flash/var/pdb/a-very-long-package-name/deps", "");
  writeFile(root / "flash/var/pdb/member/version", "103900672 86400\n");
  writeFile(root / "flash/var/pdb/member/files", "flash/x\n");
  writeFile(root / "flash/var/pdb/member/disabled", "user\n");
  writeFile(root / "flash/var/pdb/member/bundle", "suite\n");
  writeFile(root / "flash/var/pdb/late/version", "103900672 4294967295\n");
  writeFile(root / "flash/var/pdb/late/files", "");
  ProcessResult r = root.run({"--show"});
  EXPECT_EQ(r.status, 0);
  // Build time 0 is 1970; a long name overflows its column; a legacy member of
  // a bundle shows "B " (and is scheduled for uninstallation at the next run).
  const std::string notes(40, ' ');
  EXPECT_NE(r.out.find("\na-very-long-package-name             6.49 Jan/01/1970 00:00:00 " + notes + "\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\n          member XB          6.49 Jan/02/1970 00:00:00 " + notes + "\n"), std::string::npos) << r.out;
  // The last second of an unsigned 32-bit build time, past 2038 in every build.
  EXPECT_NE(r.out.find("\n            late             6.49 Feb/07/2106 06:28:15 " + notes + "\n"), std::string::npos) << r.out;
}

TEST(Installer, CommandLine) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string out;
  } cases[] = {
      {"unknown option", {"-x"}, 0, "usage: installer [-q] [-r <root>] [-]\n"},
      {"-r without a directory", {"-r"}, 0, "usage: installer [-q] [-r <root>] [-]\n"},
      {"accepted without effect", {"--safe", "-b", "--force", "--noupgrade", "-i", "--show"}, 0, kHeading},
      {"--cancel without a manifest", {"--cancel"}, 0, ""},
      {"an empty database: nothing is left installed", {}, 0, "ERROR: router installation failed!!!\n"},
      {"quiet", {"-q"}, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Root root;
    auto before = root.tree();
    ProcessResult r = root.run(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(root.tree(), before);
  }
  // Without a database directory the image for "-" cannot be opened.
  Root bare;
  std::filesystem::remove_all(bare / "flash/var");
  ProcessResult r = bare.run({"-"}, "whatever");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "WARNING: could not open repo\nERROR: could not open image\n");
}

TEST(Installer, CommitAndCancelASavedTransaction) {
  Root root;
  writeFile(root / "flash/old", "old");
  writeFile(root / "ram/tmp1", "new content");
  writeFile(root / "ram/MANIFEST", "U /flash/old\nM /flash/new /ram/tmp1\n");
  ProcessResult r = root.run({"--commit"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "finishing install... \b \n");
  EXPECT_FALSE(std::filesystem::exists(root / "flash/old"));
  EXPECT_EQ(readFile(root / "flash/new"), "new content");
  EXPECT_FALSE(std::filesystem::exists(root / "ram/MANIFEST"));  // done once

  writeFile(root / "ram/tmp2", "x");
  writeFile(root / "ram/MANIFEST", "M /flash/other /ram/tmp2\n");
  r = root.run({"--cancel"});
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(std::filesystem::exists(root / "flash/other"));
  EXPECT_FALSE(std::filesystem::exists(root / "ram/MANIFEST"));
}

struct FailureCase {
  const char* name;
  std::function<std::string(const TempDir&)> make;  // the bytes of the bad version 2
  int status;  // of "-"
  std::string message;
  bool smallRam = false;
};

// A failing package leaves the root exactly as it was, through "-" and
// through the upgrade, and the old version still lists.
TEST(Installer, FailureLeavesNothing) {
  const SmallPackage v1 = package("app", 0x06316603, {{"bin/app", 0100755, false, "", "app v1"}, {"bin/old-only", 0100644, false, "", "o"}});
  auto v2 = [] {
    return package("app", 0x06316604, {{"bin/app", 0100755, false, "", "app v2"}, {"bin/new-only", 0100644, false, "", "n"}});
  };
  const FailureCase cases[] = {
      {"a flipped payload byte", [&](const TempDir& d) {
         std::string bytes = write(d, v2());
         bytes[bytes.size() - 140] ^= 1;  // inside the compressed files, before the signature
         return bytes;
       }, 1, "ERROR: installation of app-6.49.4 failed: broken package"},
      {"unsigned", [&](const TempDir& d) {
         SmallPackage p = v2();
         p.scheme = vpkg::SignatureScheme::NONE;
         return write(d, p);
       }, 1, "ERROR: installation of app-6.49.4 failed: broken package"},
      {"refused by the install check", [&](const TempDir& d) {
         SmallPackage p = v2();
         p.architecture = "mips";
         return write(d, p);
       }, 1, "ERROR: can not install app-6.49.4: it is not made for i386, but for mips"},
      {"a '..' entry", [&](const TempDir& d) {
         SmallPackage p = v2();
         p.files.push_back({"../../etc/evil", 0100644, false, "", "evil"});
         return write(d, p);
       }, 1, "ERROR: installation of app-6.49.4 failed: broken package"},
      {"disk full while unpacking", [&](const TempDir& d) {
         SmallPackage p = v2();
         std::mt19937 rng(5);
         std::string big(4 << 20, '\0');
         for (char& c : big) c = char(rng());
         p.files.push_back({"lib/big", 0100644, false, "", big});
         return write(d, p);
       }, 1, "ERROR: installation of app-6.49.4 failed: ", true},
  };
  for (const FailureCase& c : cases) {
    for (bool viaUpgrade : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (viaUpgrade ? ", upgrade" : ", -"));
      Root root;
      TempDir scratch;
      if (c.smallRam) {
        root.flashImage = scratch / "flash.img";
        // The ext2 starts with the tree made on the host.
        ASSERT_EQ(qvtest::runProgram({"mke2fs", "-q", "-F", "-t", "ext2", "-b", "1024", "-d", root / "flash", root.flashImage, "4096"}).status, 0);
        root.ramOptions = "size=1m";
      }
      ASSERT_EQ(root.run({"-"}, write(scratch, v1, "v1.vpk")).status, 0);
      std::string bad = c.make(scratch);
      ASSERT_FALSE(bad.empty());
      const auto before = root.tree();
      ProcessResult r;
      if (viaUpgrade) {
        writeFile(root / "rw/pckg/.download/app.vpk", bad);
        r = root.run({});
        EXPECT_EQ(r.status, 0);  // the engine reports the failure; the run itself succeeds
        std::filesystem::remove(root / "rw/pckg/.download/app.vpk");
      } else {
        r = root.run({"-"}, bad);
        EXPECT_EQ(r.status, c.status);
      }
      EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
      EXPECT_EQ(root.tree(), before);
      ProcessResult shown = root.run({"--show"});
      EXPECT_NE(shown.out.find("             app           6.49.3 "), std::string::npos) << shown.out;
    }
  }
}

// Every refused package is reported, named as far as it is known, and
// leaves the root as it was.
TEST(Installer, RefusedPackagesAreReported) {
  const SmallPackage app = package("app", 0x06316600, {{"bin/app", 0100755, false, "", "app"}});
  struct Case {
    const char* name;
    std::function<std::string(const TempDir&)> make;
    int status;
    std::string message;
  } cases[] = {
      {"cut inside its description", [&](const TempDir& d) {
         SmallPackage p = app;
         p.description = std::string(3000, 'd');
         std::string bytes = write(d, p);
         return bytes.substr(0, bytes.find(std::string(3000, 'd')) + 1500);
       }, 1, "ERROR: installation of app-6.49 failed: broken package\n"},
      {"a text part over 1 MiB", [&](const TempDir& d) {
         SmallPackage p = app;
         p.architecture = std::string((1 << 20) + 1, 'a');
         return write(d, p);
       }, 1, "ERROR: installation of app-6.49 failed: broken package\n"},
      {"a dependency name the name check refuses", [&](const TempDir& d) {
         SmallPackage p = app;
         p.depends = {{"bad/name", 0, 0, 0}};
         return write(d, p);
       }, 1, "ERROR: installation of app-6.49 failed: broken package\n"},
      {"a header too short for a name", [&](const TempDir&) {
         return std::string("\x1e\xf1\xd0\xba\x09\0\0\0\x01\0\x06\0\0\0app", 17);
       }, 1, "ERROR: installation failed: broken package header\n"},
      {"not a package", [&](const TempDir&) { return std::string(100, 'x'); }, 1,
       "ERROR: installation failed: not a package\n"},
      {"a bundle without members", [&](const TempDir& d) { return bundleOf(d, "suite", 0x06316600, {}); }, 3,
       "ERROR: installation of suite-6.49 failed: broken package\n"},
      {"a bundle with a part after its members", [&](const TempDir& d) {
         std::string bytes = bundleOf(d, "suite", 0x06316600, {app});
         bytes += std::string("\x04\0\0\0\0\0", 6);
         const uint32_t length = uint32_t(bytes.size() - 8);
         for (int i = 0; i < 4; ++i) bytes[4 + i] = char(length >> (8 * i));
         return bytes;
       }, 2, "ERROR: installation of suite-6.49 failed: broken package\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Root root;
    TempDir scratch;
    const auto before = root.tree();
    ProcessResult r = root.run({"-"}, c.make(scratch));
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
    EXPECT_EQ(root.tree(), before);
  }
}

// Scheduled actions that a failing package cancels are said to be cancelled.
TEST(Installer, CancelledScheduledActionsAreSaid) {
  Root root;
  TempDir scratch;
  ASSERT_EQ(root.run({"-"}, write(scratch, package("a", 0x06316600, {{"bin/a", 0100644, false, "", "a"}}))).status, 0);
  ASSERT_EQ(root.run({"-"}, write(scratch, package("b", 0x06316600, {{"bin/b", 0100644, false, "", "b"}}))).status, 0);
  writeFile(root / "ram/pdb/a/schedule", "disable\n");
  SmallPackage broken = package("c", 0x06316600, {{"bin/c", 0100644, false, "", "c"}});
  broken.architecture = "mips";
  const std::string cancelled = "WARNING: the changes were cancelled: nothing was enabled, disabled or uninstalled; scheduled actions wait "
                                "for the next run\n";
  for (bool viaUpgrade : {false, true}) {
    SCOPED_TRACE(viaUpgrade ? "upgrade" : "-");
    const auto before = root.tree();
    ProcessResult r;
    if (viaUpgrade) {
      writeFile(root / "rw/pckg/.download/c.vpk", write(scratch, broken));
      r = root.run({});
      std::filesystem::remove(root / "rw/pckg/.download/c.vpk");
    } else {
      r = root.run({"-"}, write(scratch, broken));
    }
    const size_t disabled = r.out.find("disabled a-6.49\n");
    EXPECT_NE(disabled, std::string::npos) << r.out;
    EXPECT_NE(r.out.find(cancelled, disabled), std::string::npos) << r.out;
    if (viaUpgrade) std::filesystem::remove(root / "rw/pckg/.download/c.vpk");
    EXPECT_EQ(root.tree(), before);
  }
}

// Image-based candidates on another file system than /flash are copied into
// place; the files still go from the upgrade directory, so that the next
// run neither installs them again nor cancels its other work.
TEST(Installer, CandidatesOnAnotherFileSystemAreProcessedOnce) {
  Root root;
  TempDir scratch;
  ASSERT_EQ(root.run({"-"}, write(scratch, package("base", 0x06316600, {{"bin/base", 0100755, false, "", "b"}}))).status, 0);
  root.flashImage = scratch / "flash.img";
  ASSERT_EQ(qvtest::runProgram({"mke2fs", "-q", "-F", "-t", "ext2", "-b", "1024", "-d", root / "flash", root.flashImage, "8192"}).status, 0);
  SmallPackage sys = package("sys", 0x06316600, {{"bin/sys", 0100755, false, "", "s"}});
  sys.image = std::string(100000, 's');
  writeFile(root / "rw/pckg/.download/sys.vpk", write(scratch, sys));
  writeFile(root / "rw/pckg/.download/suite.vpk",
            bundleOf(scratch, "suite", 0x06316600, {package("m1", 0x06316600, {{"bin/m1", 0100644, false, "", "1"}})},
                     {{}, "the suite's image"}));
  ProcessResult r = root.run({});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("installed sys-6.49\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("installed suite-6.49\n"), std::string::npos) << r.out;
  EXPECT_FALSE(exists(root / "rw/pckg/.download/sys.vpk"));
  EXPECT_FALSE(exists(root / "rw/pckg/.download/suite.vpk"));
  writeFile(root / "ram/pdb/base/schedule", "disable\n");
  r = root.run({});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("disabled base-6.49\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("already installed"), std::string::npos) << r.out;
  std::filesystem::remove(root / "ram/pdb/base/schedule");
  ProcessResult shown = root.run({"--show"});
  EXPECT_NE(shown.out.find("            base X"), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("             sys   "), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("              m1  B"), std::string::npos) << shown.out;
}

TEST(Installer, UpgradeDirectories) {
  Root root;
  TempDir scratch;
  ASSERT_EQ(root.run({"-"}, write(scratch, package("base", 0x06316600, {{"bin/base", 0100755, false, "", "b"}}))).status, 0);
  // IGNORE hides the download directory, even when the others are empty.
  writeFile(root / "rw/pckg/.download/IGNORE", "");
  writeFile(root / "rw/pckg/.download/a.vpk", write(scratch, package("a", 0x06316600, {{"bin/a", 0100644, false, "", "a"}})));
  ProcessResult r = root.run({});
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(exists(root / "flash/bin/a"));
  std::filesystem::remove(root / "rw/pckg/.download/IGNORE");
  // Processed: installed, listed, the file gone with the commit, the loader started.
  r = root.run({});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("installed a-6.49\n"), std::string::npos) << r.out;
  EXPECT_EQ(readFile(root / "flash/bin/a"), "a");
  EXPECT_FALSE(exists(root / "rw/pckg/.download/a.vpk"));
  EXPECT_TRUE(exists(root / "flash/PCKGS_CHANGED"));
  if (!kEmulated) {
    EXPECT_EQ(readFile(root / "flash/ruel-ran"), "ruel\n");
  }
  EXPECT_NE(readFile(root / "flash/postlog").find("installed a-6.49\n"), std::string::npos);

  // A downgrade limit of 6.40 (103310848) drops what is older.
  writeFile(root / "ram/DOWNGRADE", "103310848\n");
  writeFile(root / "flash/var/pckg/old.vpk", write(scratch, package("old", 0x06276600, {{"bin/old", 0100644, false, "", "o"}})));
  r = root.run({});
  EXPECT_NE(r.out.find("WARNING: ommitting package old-6.39: not allowed\n"), std::string::npos) << r.out;
  EXPECT_FALSE(exists(root / "flash/bin/old"));
  std::filesystem::remove(root / "ram/DOWNGRADE");
  std::filesystem::remove(root / "flash/var/pckg/old.vpk");

  // An image-based package keeps its file as its image; branding leaves both markers.
  SmallPackage branding = package("branding", 0x06316600, {{"etc/logo", 0100644, false, "", "logo"}});
  branding.image = "the branding image";
  const std::string brandingBytes = write(scratch, branding);
  writeFile(root / "flash/rw/pckg/branding.vpk", brandingBytes);
  r = root.run({});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(readFile(root / "flash/var/pdb/branding/image"), brandingBytes);
  EXPECT_TRUE(exists(root / "flash/UPGRADED"));
  EXPECT_TRUE(exists(root / "flash/BRANDING_INSTALLED"));
  EXPECT_FALSE(exists(root / "flash/rw/pckg/branding.vpk"));

  // --reinstall of what is in place: no space check, "installed" again.
  writeFile(root / "rw/pckg/.download/a.vpk", write(scratch, package("a", 0x06316600, {{"bin/a", 0100644, false, "", "a"}})));
  r = root.run({"--reinstall"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(0, 21), "\nResuming upgrade...\n");
  EXPECT_NE(r.out.find("installed a-6.49\n"), std::string::npos) << r.out;

  // Quiet runs log nothing new.
  const std::string log = readFile(root / "flash/postlog");
  r = root.run({"-q"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(readFile(root / "flash/postlog"), log);
}

TEST(Installer, ConflictsAndBundles) {
  Root root;
  TempDir scratch;
  SmallPackage old = package("old", 0x06316600, {{"bin/old", 0100644, false, "", "o"}});
  ASSERT_EQ(root.run({"-"}, write(scratch, old)).status, 0);
  // "old" declares no conflict; give it one through its meta files.
  writeFile(root / "flash/var/pdb/old/conflicts", "new 0 0\n");
  ProcessResult r = root.run({"-"}, write(scratch, package("new", 0x06316600, {{"bin/new", 0100644, false, "", "n"}})));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(readFile(root / "flash/x/new/bin/new"), "n");  // installed disabled, under /flash/x/<name>/
  EXPECT_FALSE(exists(root / "flash/bin/new"));
  EXPECT_EQ(readFile(root / "flash/var/pdb/new/disabled"), "auto\n");

  // A new version of a bundle uninstalls the members it no longer has.
  SmallPackage m1 = package("m1", 0x06316600, {{"bin/m1", 0100644, false, "", "1"}});
  SmallPackage m2 = package("m2", 0x06316600, {{"bin/m2", 0100644, false, "", "2"}});
  r = root.run({"-"}, bundleOf(scratch, "suite", 0x06316600, {m1, m2}));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(readFile(root / "flash/var/pdb/m2/bundle"), "suite\n");
  m1.version = 0x06316601;
  writeFile(root / "rw/pckg/.download/suite.vpk", bundleOf(scratch, "suite", 0x06316601, {m1}));
  r = root.run({});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_FALSE(exists(root / "flash/bin/m2"));
  EXPECT_FALSE(exists(root / "flash/var/pdb/m2"));
  ProcessResult shown = root.run({"--show"});
  EXPECT_NE(shown.out.find("              m1  B        6.49.1 "), std::string::npos) << shown.out;
  // A bundle whose header carries a dependency list is refused with 1.
  vpkg::PackageWriter w;
  ASSERT_TRUE(w.open(scratch / "bad-bundle.vpk"));
  ASSERT_TRUE(w.part(pkg::PART_BUNDLE_HEADER, vpkg::headerPayload("bad", 0x06316600, 1, 0)));
  ASSERT_TRUE(w.part(pkg::PART_DEPENDS, vpkg::entryListPayload({{"base"}})));
  ASSERT_TRUE(w.close());
  EXPECT_EQ(root.run({"-"}, readFile(scratch / "bad-bundle.vpk")).status, 1);
}

// The install child's work in image mode, then the installer on the result.
TEST(Installer, ImageModeChildThenInstaller) {
  Root root;
  TempDir scratch;
  SmallPackage sys = package("system", 0x06316600, {{"bin/init", 0100755, false, "", "sys"}});
  sys.image = std::string(10000, 's');
  SmallPackage app = package("app", 0x06316600, {{"bin/app", 0100755, false, "", "app"}});
  SmallPackage boot = package("kernel", 0x06316600, {{"boot/vmlinuz", 0100644, false, "", "kernel"}});
  boot.image = "kernel image";
  boot.flags = pkg::FLAG_BOOT_IMAGE;
  SmallPackage tampered = package("bad", 0x06316600, {{"bin/bad", 0100644, false, "", "bad"}});
  const std::string sysBytes = write(scratch, sys, "sys.vpk"), appBytes = write(scratch, app, "app.vpk"),
                    bootBytes = write(scratch, boot, "boot.vpk");
  std::string badBytes = write(scratch, tampered, "bad.vpk");
  badBytes[badBytes.size() - 140] ^= 1;
  std::vector<std::string> before;
  EXPECT_TRUE(qvtest::runInRoot(root.path(), [&] {
    setenv("bootimage", "1", 1);
    for (const std::string* bytes : std::vector<const std::string*>{&sysBytes, &appBytes, &bootBytes, &badBytes}) {
      pkg::PackageSet set;  // a fresh child for every package
      set.quiet = true;
      pkg::MemorySource input(bytes->data(), bytes->size());
      int result = pkg::installImage(set, input, {});
      EXPECT_EQ(result, bytes == &badBytes ? 1 : 0);
    }
    return true;
  }));
  EXPECT_EQ(readFile(root / "flash/var/pdb/system/image"), sysBytes);
  EXPECT_EQ(readFile(root / "flash/bin/init"), "sys");
  EXPECT_EQ(readFile(root / "flash/bin/app"), "app");
  EXPECT_FALSE(exists(root / "flash/image"));          // nothing kept for app, nothing left of bad
  EXPECT_FALSE(exists(root / "flash/bin/bad"));
  EXPECT_FALSE(exists(root / "flash/var/pdb/bad"));
  EXPECT_EQ(readFile(root / "flash/bootimage"), bootBytes);  // the boot package is not unpacked
  EXPECT_FALSE(exists(root / "flash/boot/vmlinuz"));
  char target[64] = {};
  EXPECT_GT(readlink((root / "flash/var/pdb/kernel/image").c_str(), target, sizeof target), 0);
  EXPECT_STREQ(target, "/flash/bootimage");

  ProcessResult shown = root.run({"--show"});
  EXPECT_NE(shown.out.find("          system             6.49 "), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("             app             6.49 "), std::string::npos);
  EXPECT_NE(shown.out.find("          kernel             6.49 "), std::string::npos);
  // An upgrade of the image-based package afterwards.
  sys.version = 0x06316601;
  const std::string sys2 = write(scratch, sys, "sys2.vpk");
  writeFile(root / "rw/pckg/.download/system.vpk", sys2);
  ProcessResult r = root.run({});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(readFile(root / "flash/var/pdb/system/image"), sys2);
  EXPECT_NE(root.run({"--show"}).out.find("          system           6.49.1 "), std::string::npos);
}

namespace {

// Starts the installer in the root, kills it after the given time (if it
// still runs), and returns whether it was killed.
bool runAndKill(const std::string& root, std::chrono::microseconds after) {
  const qvtest::RootOptions options = installerRoot();
  const std::vector<std::string> argv = installerCommand({});
  bool killed = false;
  EXPECT_TRUE(qvtest::runInRoot(root, [&] {
    pid_t pid = fork();
    if (pid == 0) {
      int devnull = open("/dev/null", O_WRONLY);
      if (devnull >= 0) {
        dup2(devnull, 1);
        dup2(devnull, 2);
      }
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execvp(args[0], args.data());
      _exit(127);
    }
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + after;
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() >= deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        killed = WIFSIGNALED(status);
        break;
      }
      usleep(200);
    }
    writeFile("/.killed", killed ? "1" : "0");
    return true;
  }, options));
  killed = readFile(root + "/.killed") == "1";
  unlink((root + "/.killed").c_str());
  return killed;
}

}  // namespace

// Kill an upgrade of image-based packages at random moments, then run it
// again: the database always loads, and in the end every package is at its
// new version with its image byte-identical to its package file.
TEST(Installer, InterruptedUpgradesConverge) {
  Root base;
  TempDir scratch;
  std::mt19937 rng(50);
  std::vector<std::string> next;
  for (int i = 0; i < 3; ++i) {
    SmallPackage p = package("pkg" + std::to_string(i), 0x06316603, {{"bin/p" + std::to_string(i), 0100755, false, "", "v1"}});
    p.image.resize(1 << 20);
    for (char& c : p.image) c = char(rng());
    ASSERT_EQ(base.run({"-"}, write(scratch, p)).status, 0);
    p.version = 0x06316604;
    p.files[0].bytes = "v2";
    next.push_back(write(scratch, p, "next" + std::to_string(i) + ".vpk"));
  }
  auto prepare = [&](const std::string& dir) {
    std::filesystem::remove_all(dir);
    std::filesystem::copy(base.path(), dir, std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks);
    for (size_t i = 0; i < next.size(); ++i) writeFile(dir + "/rw/pckg/.download/p" + std::to_string(i) + ".vpk", next[i]);
  };
  const std::string work = scratch / "work";
  prepare(work);
  const auto start = std::chrono::steady_clock::now();
  // A whole run, to learn its length (the limit only guards against a hang).
  EXPECT_FALSE(runAndKill(work, std::chrono::minutes(10)));
  const auto length = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
  int killedRuns = 0, reinstalls = 0;
  // Whether a kill lands inside a run depends on the machine's load: go on
  // until enough runs were cut, rather than counting on a share of them.
  for (int round = 0; round < 50 || (killedRuns < 10 && round < 1000); ++round) {
    SCOPED_TRACE(round);
    prepare(work);
    killedRuns += runAndKill(work, std::chrono::microseconds(rng() % uint64_t(length.count())));
    auto converged = [&] {
      for (size_t i = 0; i < next.size(); ++i)
        if (readFile(work + "/flash/var/pdb/pkg" + std::to_string(i) + "/image") != next[i]) return false;
      return true;
    };
    // The database loads after the kill, and the next run finishes the work.
    auto runOnce = [&](std::vector<std::string> args) {
      EXPECT_TRUE(qvtest::runInRoot(work, [&] {
        qvtest::ProcessResult r = qvtest::runProgram(installerCommand(args));
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        return true;
      }, installerRoot()));
    };
    runOnce({});
    if (!converged()) {
      ++reinstalls;
      runOnce({"--reinstall"});
    }
    EXPECT_TRUE(converged());
    EXPECT_TRUE(qvtest::runInRoot(work, [&] {
      pkg::PackageSet set;
      set.quiet = true;
      set.openRepository(true, "i386");
      EXPECT_EQ(set.records.size(), next.size());
      for (const auto& r : set.records) EXPECT_EQ(r->version, 0x06316604u) << r->name;
      return true;
    }));
  }
  EXPECT_GE(killedRuns, 10);
  RecordProperty("killed_runs", killedRuns);
  RecordProperty("reinstall_runs", reinstalls);
}
