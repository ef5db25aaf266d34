// The media tool, run as a program: what it refuses (with the file and the
// reason, and no output file), what a disc and a FAT medium hold as
// independent tools read them (xorriso, cpio, mtools, fsck.fat), and the same
// bytes from the same inputs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include "tests/support/process.h"
#include "tests/support/sandbox.h"

using qvtest::ProcessResult;
using qvtest::readFile;
using qvtest::runProgram;
using qvtest::TempDir;
using qvtest::writeFile;

namespace {

const std::string kDevKey = QV_SOURCE_DIR "/keys/dev-private.key";
const std::string kRelease = "6.1.0-test";
// What a loader needs of a kernel: the bzImage setup header's magic.
const std::string kKernel = std::string(0x202, 'k') + "HdrS";

ProcessResult run(const std::string& program, const std::vector<std::string>& arguments,
                  const std::vector<std::string>& environment = {}) {
  std::vector<std::string> argv = {"env"};
  argv.insert(argv.end(), environment.begin(), environment.end());
  for (const std::string& a : qvtest::ownProgram(program, arguments)) argv.push_back(a);
  return runProgram(argv);
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Stand-ins for the boot files (nothing here is booted) and packages built by
// the package tool.
class MediaInputs {
 public:
  MediaInputs() {
    writeFile(dir / "init", "an init program");
    writeFile(dir / "vmlinuz", kKernel);
    writeFile(modules() + "/kernel/fs/fat/fat.ko", "fat module");
    writeFile(modules() + "/kernel/fs/nls/nls_ascii.ko", "nls module");
    writeFile(modules() + "/kernel/drivers/net/ethernet/atheros/atl1c/atl1c.ko", "network module");
    writeFile(modules() + "/kernel/sound/unlisted.ko", "a module of no list");
  }
  std::string modules() const { return dir / ("modules/" + kRelease); }
  std::vector<std::string> boot() const {
    return {"--init", dir / "init", "--kernel", dir / "vmlinuz", "--modules", modules()};
  }
  // NAME.vpk unless file is given; extra manifest lines; a key or none.
  std::string package(const std::string& name, const std::string& extra = "", bool sign = true,
                      const std::string& file = "", size_t payload = 16) {
    const std::string tree = dir / ("tree-" + name + file);
    std::mt19937 random{uint32_t(payload)};
    std::string bytes(payload, '\0');
    for (char& c : bytes) c = char(random());
    writeFile(tree + "/etc/" + name, bytes);
    const std::string manifest = dir / (name + file + ".manifest");
    writeFile(manifest, "name = " + name + "\nversion = 6.49.21\nbuild-time = 1700000000\narchitecture = i386\nfiles = " +
                            tree + "\n" + extra);
    const std::string out = dir / (file.empty() ? name + ".vpk" : file);
    std::vector<std::string> args = {"build", manifest, "-o", out};
    if (sign) args.insert(args.end(), {"--key", kDevKey});
    EXPECT_EQ(run(QV_VPKG, args).status, 0) << name;
    return out;
  }
  TempDir dir;
};

std::vector<std::string> joined(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

struct RefusalCase {
  const char* name;
  std::function<std::vector<std::string>(MediaInputs&)> arguments;  // after "cd|hdd OUTPUT"
  const char* kind;
  std::string message;  // a line of standard error, the file's path put for %s
};

TEST(Vmedia, RefusesBadInputsAndWritesNothing) {
  const RefusalCase cases[] = {
      {"a package changed after signing", [](MediaInputs& in) {
         std::string path = in.package("system");
         std::string bytes = readFile(path);
         bytes[bytes.size() - 200] ^= 1;
         writeFile(path, bytes);
         return std::vector<std::string>{path};
       }, "cd", "system-6.49.21: its signature does not verify with the keys"},
      {"an unsigned package", [](MediaInputs& in) { return std::vector<std::string>{in.package("system", "", false)}; },
       "hdd", "system-6.49.21 is not signed (--allow-unsigned makes a test medium of it)"},
      {"two packages of one name", [](MediaInputs& in) {
         return std::vector<std::string>{in.package("system"), in.package("system", "", true, "other.vpk")};
       }, "cd", "another package of this medium is also named system"},
      {"a defpacks name not on the medium", [](MediaInputs& in) {
         writeFile(in.dir / "defpacks", "system\nnosuch\n");
         return std::vector<std::string>{in.package("system"), "--defpacks", in.dir / "defpacks"};
       }, "hdd", "names nosuch, which is not a package of this medium"},
      {"an image too small for its files", [](MediaInputs& in) {
         return std::vector<std::string>{in.package("system", "", true, "", 24 << 20), "--size", "20M"};
       }, "hdd", "20 MiB is too small for the medium's files, which need"},
      {"another architecture", [](MediaInputs& in) {
         return std::vector<std::string>{in.package("system", "architecture = x86_64\n")};
       }, "cd", "system-6.49.21 is built for x86_64, the installer installs i386"},
      {"not a package", [](MediaInputs& in) {
         writeFile(in.dir / "junk.vpk", "not a package at all");
         return std::vector<std::string>{in.dir / "junk.vpk"};
       }, "cd", "not a package the installer reads"},
      {"a file the installer does not offer", [](MediaInputs& in) {
         return std::vector<std::string>{in.package("system", "", true, "system.kpk")};
       }, "cd", "the installer offers only package files ending in \".vpk\""},
      {"a kernel no loader starts", [](MediaInputs& in) {
         writeFile(in.dir / "vmlinuz", "\x7f" "ELF an uncompressed kernel");
         return std::vector<std::string>{in.package("system")};
       }, "cd", "not a kernel a boot loader can start (no bzImage header)"},
      {"an mbr file that is not one sector", [](MediaInputs& in) {
         writeFile(in.dir / "mbr", std::string(100, 'x'));
         return std::vector<std::string>{in.package("system"), "--mbr", in.dir / "mbr"};
       }, "hdd", "an mbr file is one sector of 512 bytes, this one has 100"},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.name);
    MediaInputs in;
    writeFile(in.dir / "autorun.scr", "");
    const std::string out = in.dir / "out.img";
    std::vector<std::string> args = {c.kind, out};
    args = joined(joined(args, c.arguments(in)), in.boot());
    if (std::string(c.kind) == "hdd") args = joined(args, {"--autorun", in.dir / "autorun.scr"});
    const ProcessResult r = run(QV_VMEDIA, args);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.err.rfind("vmedia: ", 0), 0u) << r.err;
    EXPECT_FALSE(exists(out));
    EXPECT_FALSE(exists(out + ".partial"));
  }
}

TEST(Vmedia, UnsignedPackagesOnlyForTestMedia) {
  MediaInputs in;
  const std::string out = in.dir / "test.iso";
  const ProcessResult r =
      run(QV_VMEDIA, joined({"cd", out, in.package("system", "", false), "--allow-unsigned"}, in.boot()));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(exists(out));
}

// The disc as xorriso reads it back, and its initramfs as cpio lists it.
TEST(Vmedia, CdHoldsLoaderKernelInitramfsAndPackages) {
  MediaInputs in;
  writeFile(in.dir / "defpacks", "system\n");
  const std::string iso = in.dir / "cd.iso";
  const ProcessResult made = run(
      QV_VMEDIA, joined({"cd", iso, in.package("system"), in.package("ppp"), "--defpacks", in.dir / "defpacks",
                         "--preload", "kernel/fs/nls/nls_ascii.ko", "--label", "TESTDISC"},
                        in.boot()));
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_NE(made.out.find("vmedia: initramfs: "), std::string::npos) << made.out;
  const std::string tree = in.dir / "tree";
  ASSERT_EQ(runProgram({"xorriso", "-osirrox", "on", "-indev", iso, "-extract", "/", tree}).status, 0);
  for (const char* file : {"system.vpk", "ppp.vpk", "defpacks", "isolinux/isolinux.bin", "isolinux/ldlinux.c32"})
    EXPECT_TRUE(exists(tree + "/" + file)) << file;
  EXPECT_EQ(readFile(tree + "/system.vpk"), readFile(in.dir / "system.vpk"));
  EXPECT_EQ(readFile(tree + "/boot/vmlinuz"), kKernel);
  EXPECT_EQ(readFile(tree + "/isolinux/isolinux.cfg"),
            "SERIAL 0 115200\nPROMPT 0\nTIMEOUT 0\nDEFAULT linux\nLABEL linux\n  LINUX /boot/vmlinuz\n"
            "  APPEND initrd=/boot/initrd.img console=ttyS0,115200 rdinit=/stage quiet loglevel=1 panic=-1\n");
  const std::string image = in.dir / "image";
  qvtest::makeDirs(image);
  ASSERT_EQ(runProgram({"sh", "-c", "cd '" + image + "' && gzip -dc '" + tree +
                                         "/boot/initrd.img' | cpio -id --quiet --no-absolute-filenames"})
                .status,
            0);
  const std::string lib = image + "/lib/modules/" + kRelease;
  EXPECT_EQ(readFile(image + "/init"), "an init program");
  EXPECT_EQ(readFile(image + "/TYPE"), "cdrom\n");
  EXPECT_EQ(readFile(lib + "/kernel/fs/fat/fat.ko"), "fat module");       // on a list of init's
  EXPECT_EQ(readFile(lib + "/drivers/net/atl1c.ko"), "network module");   // where init loads it from
  EXPECT_EQ(readFile(lib + "/kernel/fs/nls/nls_ascii.ko"), "nls module"); // preloaded
  EXPECT_FALSE(exists(lib + "/kernel/sound/unlisted.ko"));
  EXPECT_EQ(readFile(image + "/stage"), "#!/bin/busybox sh\n/bin/busybox mount -t devtmpfs devtmpfs /dev\n"
                                        "/bin/busybox insmod /lib/modules/" + kRelease +
                                            "/kernel/fs/nls/nls_ascii.ko\n/bin/busybox umount /dev\nexec /init \"$@\"\n");
  struct stat st;
  ASSERT_EQ(lstat((image + "/init").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  const ProcessResult listing = runProgram({"sh", "-c", "gzip -dc '" + tree + "/boot/initrd.img' | cpio -tv --quiet"});
  EXPECT_NE(listing.out.find("crw-------"), std::string::npos) << listing.out;  // dev/console
}

// The FAT medium as mtools and fsck.fat read it.
TEST(Vmedia, HardDiskMediumHoldsWhatTheFlowReads) {
  MediaInputs in;
  writeFile(in.dir / "autorun.scr", "/system identity set name=router\n");
  const std::string img = in.dir / "hdd.img";
  const ProcessResult made = run(QV_VMEDIA, joined({"hdd", img, in.package("system"), "--autorun",
                                                    in.dir / "autorun.scr", "--choose", "--console", "tty0"},
                                                   in.boot()));
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(runProgram({"fsck.fat", "-n", img}).status, 0);
  auto type = [&](const std::string& name) {
    return runProgram({"env", "MTOOLS_SKIP_CHECK=1", "mtype", "-i", img, "::/" + name}).out;
  };
  EXPECT_EQ(type("autorun.scr"), "/system identity set name=router\n");
  EXPECT_EQ(type("system.vpk"), readFile(in.dir / "system.vpk"));
  EXPECT_EQ(type("CHOOSE"), "");
  EXPECT_NE(runProgram({"env", "MTOOLS_SKIP_CHECK=1", "mdir", "-i", img, "::/VM"}).status, 0);
  EXPECT_EQ(type("boot/syslinux/syslinux.cfg"),
            "PROMPT 0\nTIMEOUT 0\nDEFAULT linux\nLABEL linux\n  LINUX /boot/vmlinuz\n"
            "  APPEND initrd=/boot/initrd.img console=tty0 quiet loglevel=1 panic=-1 -- -hdd-install\n");
  // The installer's own boot program, ending in the boot signature.
  const std::string mbr = type("mbr");
  const std::string program = readFile(QV_BOOT_PROGRAM);
  ASSERT_EQ(mbr.size(), 512u);
  EXPECT_EQ(mbr.substr(0, program.size()), program);
  EXPECT_EQ(mbr.substr(510), "\x55\xaa");
  // syslinux's boot sector: what makes the whole disk boot.
  EXPECT_EQ(readFile(img).substr(3, 8), "SYSLINUX");
}

TEST(Vmedia, SameInputsAndDateGiveTheSameBytes) {
  MediaInputs in;
  writeFile(in.dir / "autorun.scr", "x\n");
  const std::vector<std::string> packages = {in.package("system"), in.package("ppp")};
  for (const std::string kind : {"cd", "hdd"}) {
    SCOPED_TRACE(kind);
    std::vector<std::string> images;
    for (const char* name : {"first", "second"}) {
      const std::string out = in.dir / (kind + "-" + name);
      std::vector<std::string> args = joined(joined({kind, out}, packages), in.boot());
      if (kind == "hdd") args = joined(args, {"--autorun", in.dir / "autorun.scr"});
      ASSERT_EQ(run(QV_VMEDIA, args, {"SOURCE_DATE_EPOCH=1700000000"}).status, 0);
      images.push_back(readFile(out));
    }
    EXPECT_FALSE(images[0].empty());
    EXPECT_TRUE(images[0] == images[1]);
  }
}

// The network boot tree as a TFTP server serves it: pxelinux finds its files
// by names relative to the server's directory; the same inputs give the same
// bytes.
TEST(Vmedia, NetworkBootTreeHoldsThePxeLoaderAndTheNetworkStage) {
  MediaInputs in;
  std::vector<std::string> initramfs;
  for (const char* name : {"net1", "net2"}) {
    const std::string tree = in.dir / name;
    const ProcessResult made = run(QV_VMEDIA, joined({"net", tree}, in.boot()), {"SOURCE_DATE_EPOCH=1700000000"});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(readFile(tree + "/pxelinux.0"), readFile("/usr/lib/PXELINUX/pxelinux.0"));
    EXPECT_EQ(readFile(tree + "/ldlinux.c32"), readFile("/usr/lib/syslinux/modules/bios/ldlinux.c32"));
    EXPECT_EQ(readFile(tree + "/boot/vmlinuz"), kKernel);
    EXPECT_EQ(readFile(tree + "/pxelinux.cfg/default"),
              "SERIAL 0 115200\nPROMPT 0\nTIMEOUT 0\nDEFAULT linux\nLABEL linux\n  LINUX boot/vmlinuz\n"
              "  APPEND initrd=boot/initrd.img console=ttyS0,115200 quiet loglevel=1 panic=-1\n");
    initramfs.push_back(readFile(tree + "/boot/initrd.img"));
  }
  EXPECT_TRUE(initramfs[0] == initramfs[1]);
  const std::string image = in.dir / "image";
  qvtest::makeDirs(image);
  ASSERT_EQ(runProgram({"sh", "-c", "cd '" + image + "' && gzip -dc '" + in.dir / "net1/boot/initrd.img" +
                                         "' | cpio -id --quiet --no-absolute-filenames"})
                .status,
            0);
  EXPECT_EQ(readFile(image + "/TYPE"), "net\n");
  EXPECT_EQ(readFile(image + "/lib/modules/" + kRelease + "/drivers/net/atl1c.ko"), "network module");  // the early driver
  EXPECT_FALSE(exists(image + "/lib/modules/" + kRelease + "/kernel/fs/fat/fat.ko"));  // storage comes from the server
  // Packages come from the server, never from the boot tree.
  const ProcessResult refused = run(QV_VMEDIA, joined({"net", in.dir / "net3", in.package("system")}, in.boot()));
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("vmedia: a network boot tree carries no packages: the server sends them"),
            std::string::npos)
      << refused.err;
}
