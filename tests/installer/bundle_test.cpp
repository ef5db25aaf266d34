// Bundles in the database over several runs: with and without a bundle-level
// image, their members' files, a member uninstalled alone, broken member
// headers in a kept image, and the two orders of the image payload and the
// disable list.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "pkg/package_format.h"
#include "tests/installer/installer_root.h"
#include "tools/vpkg/package_writer.h"

using qvtest::BundleParts;
using qvtest::bundleOf;
using qvtest::exists;
using qvtest::package;
using qvtest::ProcessResult;
using qvtest::readFile;
using qvtest::SmallPackage;
using qvtest::TempDir;
using qvtest::write;
using qvtest::writeFile;
using Root = qvtest::InstallerRoot;

namespace {

const SmallPackage kM1 = package("m1", 0x06316600, {{"bin/m1", 0100644, false, "", "1"}});
const SmallPackage kM2 = package("m2", 0x06316600, {{"bin/m2", 0100644, false, "", "2"}});

// The names the listing shows, sorted, members marked "(B)".
std::string listed(Root& root) {
  ProcessResult r = root.run({"--show"});
  EXPECT_EQ(r.status, 0) << r.out;
  std::vector<std::string> rows;
  for (size_t at = r.out.find("\n", r.out.find("-----")); at != std::string::npos && at + 1 < r.out.size();) {
    const size_t end = r.out.find('\n', at + 1);
    const std::string row = r.out.substr(at + 1, end - at - 1);
    const size_t first = row.find_first_not_of(' ');
    rows.push_back(row.substr(first, row.find(' ', first) - first) + (row.size() > 18 && row[18] == 'B' ? "(B)" : ""));
    at = end;
  }
  std::sort(rows.begin(), rows.end());
  std::string names;
  for (const std::string& row : rows) names += row + " ";
  return names;
}

}  // namespace

// A bundle lasts whether or not it carries an image payload, and its members'
// files are recorded: uninstalling the bundle removes them.
TEST(Bundle, LastsAndUninstallsWithOrWithoutImage) {
  for (bool image : {false, true}) {
    SCOPED_TRACE(image ? "with an image payload" : "without an image payload");
    Root root;
    TempDir scratch;
    BundleParts parts;
    if (image) parts.image = "the suite's image";
    const std::string bytes = bundleOf(scratch, "suite", 0x06316600, {kM1, kM2}, parts);
    ProcessResult r = root.run({"-"}, bytes);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(exists(root / "flash/var/pdb/suite/image"), image);
    for (int run = 0; run < 2; ++run) {
      r = root.run({});
      EXPECT_EQ(r.status, 0) << r.out;
      EXPECT_EQ(listed(root), "m1(B) m2(B) suite ") << run;
      EXPECT_EQ(readFile(root / "flash/bin/m1"), "1");
    }
    writeFile(root / "flash/var/pdb/keep/version", "103900672 0\n");  // something must stay installed
    writeFile(root / "flash/var/pdb/keep/files", "");
    writeFile(root / "ram/pdb/suite/schedule", "uninstall\n");
    r = root.run({});
    EXPECT_EQ(r.status, 0) << r.out;
    for (const char* gone : {"flash/bin/m1", "flash/bin/m2", "flash/var/pdb/m1", "flash/var/pdb/m2", "flash/var/pdb/suite"})
      EXPECT_FALSE(exists(root / gone)) << gone;
    EXPECT_EQ(listed(root), "keep ");
  }
}

// An upgrade of an image-based bundle removes what its members no longer carry.
TEST(Bundle, UpgradeRemovesFilesMembersNoLongerCarry) {
  Root root;
  TempDir scratch;
  SmallPackage m1 = package("m1", 0x06316600, {{"bin/m1", 0100644, false, "", "1"}, {"lib/old", 0100644, false, "", "o"}});
  ASSERT_EQ(root.run({"-"}, bundleOf(scratch, "suite", 0x06316600, {m1, kM2}, {{}, "image 1"})).status, 0);
  m1.version = 0x06316601;
  m1.files.pop_back();
  writeFile(root / "rw/pckg/.download/suite.vpk", bundleOf(scratch, "suite", 0x06316601, {m1, kM2}, {{}, "image 2"}));
  ProcessResult r = root.run({});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_FALSE(exists(root / "flash/lib/old"));
  EXPECT_EQ(readFile(root / "flash/bin/m1"), "1");
  EXPECT_EQ(readFile(root / "flash/bin/m2"), "2");
}

// One member uninstalled alone never takes what the others need. A member of
// a bundle kept as an image is listed by that image, so its uninstall is
// refused with a warning and nothing changes; a member of a bundle without an
// image goes with its files.
TEST(Bundle, MemberUninstalledAlone) {
  for (bool image : {true, false}) {
    SCOPED_TRACE(image ? "bundle kept as an image" : "bundle without an image");
    Root root;
    TempDir scratch;
    BundleParts parts;
    if (image) parts.image = "the suite's image";
    ASSERT_EQ(root.run({"-"}, bundleOf(scratch, "suite", 0x06316600, {kM1, kM2}, parts)).status, 0);
    writeFile(root / "ram/pdb/m1/schedule", "uninstall\n");
    const auto before = root.tree();
    ProcessResult r = root.run({});
    EXPECT_EQ(r.status, 0) << r.out;
    if (image) {
      EXPECT_NE(r.out.find("WARNING: can not uninstall m1-6.49: it is part of bundle suite-6.49; uninstall the bundle instead\n"),
                std::string::npos)
          << r.out;
      EXPECT_EQ(root.tree(), before);
    } else {
      EXPECT_FALSE(exists(root / "flash/bin/m1"));
      EXPECT_FALSE(exists(root / "flash/var/pdb/m1"));
    }
    std::filesystem::remove(root / "ram/pdb/m1/schedule");
    for (int run = 0; run < 2; ++run) {
      EXPECT_EQ(root.run({}).status, 0);
      EXPECT_EQ(listed(root), image ? "m1(B) m2(B) suite " : "m2(B) suite ") << run;
      EXPECT_EQ(readFile(root / "flash/bin/m2"), "2");
      EXPECT_EQ(exists(root / "flash/bin/m1"), image);
    }
  }
}

// A kept bundle image with a broken member: every run, --show included,
// finishes; the broken entry is reported once; the rest of the database loads.
TEST(Bundle, BrokenMemberInAKeptImage) {
  struct Case {
    const char* name;
    std::function<void(vpkg::PackageWriter&)> brokenMember;
    bool memberAfter;  // a good member follows (the file ends in the broken one otherwise)
  } cases[] = {
      {"a name the name check refuses", [](vpkg::PackageWriter& w) {
         EXPECT_TRUE(w.part(pkg::PART_HEADER, vpkg::headerPayload("bad/name", 0x06316600, 1, 0)));
       }, true},
      {"a header shorter than 32 bytes", [](vpkg::PackageWriter& w) {
         EXPECT_TRUE(w.part(pkg::PART_HEADER, std::string(20, 'x')));
       }, true},
      {"a header cut short", [](vpkg::PackageWriter& w) {
         const std::string header = vpkg::headerPayload("m3", 0x06316600, 1, 0);
         const char partHeader[6] = {pkg::PART_HEADER, 0, char(header.size()), 0, 0, 0};
         EXPECT_TRUE(w.raw(partHeader, sizeof partHeader));
         EXPECT_TRUE(w.raw(header.data(), 10));
       }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Root root;
    TempDir scratch;
    root.wrapper = {"timeout", "30"};  // a load that never ends would otherwise take the machine's memory
    ASSERT_EQ(root.run({"-"}, write(scratch, package("app", 0x06316600, {{"bin/app", 0100755, false, "", "app"}}))).status, 0);
    vpkg::PackageWriter w;
    ASSERT_TRUE(w.open(scratch / "suite.vpk"));
    EXPECT_TRUE(w.part(pkg::PART_BUNDLE_HEADER, vpkg::headerPayload("suite", 0x06316600, 1, 0)));
    const std::string m1 = write(scratch, kM1, "m1.vpk");
    EXPECT_TRUE(w.raw(m1.data() + 8, m1.size() - 8));
    c.brokenMember(w);
    // A member after the broken one: where the parts still show its start, it loads too.
    const std::string m2 = write(scratch, kM2, "m2.vpk");
    if (c.memberAfter) {
      EXPECT_TRUE(w.raw(m2.data() + 8, m2.size() - 8));
    }
    ASSERT_TRUE(w.close());
    writeFile(root / "flash/var/pdb/suite/image", readFile(scratch / "suite.vpk"));
    ProcessResult r = root.run({"--show"});
    EXPECT_EQ(r.status, 0) << r.out;
    const std::string report = "ERROR: broken package /flash/var/pdb/suite/image: a member of bundle suite cannot be read\n";
    EXPECT_EQ(r.out.substr(0, report.size()), report);
    EXPECT_EQ(r.out.find("broken package", report.size()), std::string::npos) << r.out;  // once
    EXPECT_NE(r.out.find("             app "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("              m1  B"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("           suite "), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("              m2  B") != std::string::npos, c.memberAfter) << r.out;
    EXPECT_EQ(root.run({}).status, 0);
  }
}

// The image payload and the disable list in either order, through "-" and
// through the upgrade: the bundle installs, keeps its image and disables what
// its list names.
TEST(Bundle, ImagePayloadAndDisableListInEitherOrder) {
  for (bool imageFirst : {true, false}) {
    for (bool viaUpgrade : {false, true}) {
      SCOPED_TRACE(std::string(imageFirst ? "image first" : "disable list first") + (viaUpgrade ? ", upgrade" : ", -"));
      Root root;
      TempDir scratch;
      ASSERT_EQ(root.run({"-"}, write(scratch, package("victim", 0x06316600, {{"bin/v", 0100644, false, "", "v"}}))).status, 0);
      BundleParts parts;
      parts.image = "the suite's image";
      parts.disableList = {"victim"};
      parts.imageFirst = imageFirst;
      const std::string bytes = bundleOf(scratch, "suite", 0x06316600, {kM1}, parts);
      ProcessResult r;
      if (viaUpgrade) {
        writeFile(root / "rw/pckg/.download/suite.vpk", bytes);
        r = root.run({});
        EXPECT_FALSE(exists(root / "rw/pckg/.download/suite.vpk"));
      } else {
        r = root.run({"-"}, bytes);
      }
      EXPECT_EQ(r.status, 0) << r.out;
      EXPECT_EQ(readFile(root / "flash/var/pdb/suite/image"), bytes);
      EXPECT_EQ(readFile(root / "flash/bin/m1"), "1");
      EXPECT_EQ(readFile(root / "flash/var/pdb/victim/disabled"), "auto\n");
      EXPECT_FALSE(exists(root / "flash/var/pdb/disabled"));  // the disable list's carrier writes nothing
      EXPECT_EQ(listed(root), "m1(B) suite victim ");
    }
  }
}

// Uninstalling every member of a bundle kept as an image takes the bundle
// too; installing another package over a member it lists is refused.
TEST(Bundle, AllMembersGoWithTheirImageBundle) {
  Root root;
  TempDir scratch;
  ASSERT_EQ(root.run({"-"}, write(scratch, package("keep", 0x06316600, {{"bin/keep", 0100644, false, "", "k"}}))).status, 0);
  ASSERT_EQ(root.run({"-"}, bundleOf(scratch, "suite", 0x06316600, {kM1, kM2}, {{}, "the suite's image"})).status, 0);
  SmallPackage alone = package("m1", 0x06316601, {{"bin/other", 0100644, false, "", "o"}});
  const auto before = root.tree();
  ProcessResult r = root.run({"-"}, write(scratch, alone));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("ERROR: can not install m1-6.49.1: m1 is part of bundle suite-6.49\n"), std::string::npos) << r.out;
  EXPECT_EQ(root.tree(), before);
  writeFile(root / "ram/pdb/m1/schedule", "uninstall\n");
  writeFile(root / "ram/pdb/m2/schedule", "uninstall\n");
  r = root.run({});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("can not uninstall"), std::string::npos) << r.out;
  for (const char* gone : {"flash/bin/m1", "flash/bin/m2", "flash/var/pdb/suite", "flash/var/pdb/m1"})
    EXPECT_FALSE(exists(root / gone)) << gone;
  EXPECT_EQ(listed(root), "keep ");
}

// Members that carry an image payload of their own, or the boot flag, in a
// bundle without an image: they keep no image, so their metadata is written
// and they last; the boot member is unpacked (no bundle file to boot from).
TEST(Bundle, MembersWithImagesInABundleWithout) {
  Root root;
  TempDir scratch;
  SmallPackage imaged = package("m1", 0x06316600, {{"bin/m1", 0100644, false, "", "1"}});
  imaged.image = "m1's own image";
  SmallPackage boot = package("kernel", 0x06316600, {{"boot/vmlinuz", 0100644, false, "", "kernel"}});
  boot.flags = pkg::FLAG_BOOT_IMAGE;
  ProcessResult r = root.run({"-"}, bundleOf(scratch, "suite", 0x06316600, {imaged, boot}), {"bootimage=1"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(readFile(root / "flash/boot/vmlinuz"), "kernel");
  EXPECT_FALSE(exists(root / "flash/bootimage"));
  for (int run = 0; run < 2; ++run) {
    EXPECT_EQ(root.run({}, "", {"bootimage=1"}).status, 0);
    EXPECT_EQ(listed(root), "kernel(B) m1(B) suite ") << run;
  }
}
