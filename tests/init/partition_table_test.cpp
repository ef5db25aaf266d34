// The boot record, judged by sfdisk and by the raw bytes, and the boot
// program, judged by a PC BIOS in QEMU.
#include "init/disk/partition_table.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <functional>

#include "tests/support/process.h"
#include "tests/support/sandbox.h"

using qvtest::readFile;
using qvtest::runProgram;
using qvtest::TempDir;

namespace {

std::string makeImage(const TempDir& dir, uint64_t bytes, const std::string& sector0 = "") {
  const std::string image = dir / "disk.img";
  int fd = open(image.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  EXPECT_EQ(ftruncate(fd, off_t(bytes)), 0);
  if (!sector0.empty()) {
    EXPECT_EQ(pwrite(fd, sector0.data(), sector0.size(), 0), ssize_t(sector0.size()));
  }
  close(fd);
  return image;
}

std::string head(const std::string& image, size_t bytes) {
  std::string s(bytes, '\0');
  int fd = open(image.c_str(), O_RDONLY);
  EXPECT_EQ(pread(fd, s.data(), bytes, 0), ssize_t(bytes));
  close(fd);
  return s;
}

std::string sector0(const std::string& image) { return head(image, 512); }

}  // namespace

struct TableCase {
  const char* name;
  uint64_t bytes;
  std::string dump;  // sfdisk's partition lines, the image path left out
};

TEST(PartitionTable, LayoutsJudgedBySfdisk) {
  const TableCase cases[] = {
      {"64 MiB: one partition", 64ull << 20, "1 : start=           1, size=      131071, type=83, bootable\n"},
      {"exactly 128 MiB: two", 128ull << 20,
       "1 : start=           1, size=       65536, type=83, bootable\n2 : start=       65537, size=      196607, type=83\n"},
      {"128 MiB less a sector: one", (128ull << 20) - 512, "1 : start=           1, size=      262142, type=83, bootable\n"},
      {"1 GiB", 1ull << 30,
       "1 : start=           1, size=       65536, type=83, bootable\n2 : start=       65537, size=     2031615, type=83\n"},
      {"3 TiB: capped at 2^32 - 1 sectors", 3ull << 40,
       "1 : start=           1, size=       65536, type=83, bootable\n2 : start=       65537, size=  4294901758, type=83\n"},
  };
  for (const TableCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string image = makeImage(dir, c.bytes);
    ASSERT_TRUE(disk::writePartitionTable(image));
    qvtest::ProcessResult r = runProgram({"sfdisk", "--dump", image});
    std::string lines;
    size_t at = 0;
    while ((at = r.out.find("\n" + image, at)) != std::string::npos) {
      at += 1 + image.size();
      size_t end = r.out.find('\n', at);
      lines += r.out.substr(at, end - at + 1);
      at = end;
    }
    EXPECT_EQ(lines, c.dump) << r.out;
    // The raw entries, CHS bytes included.
    const std::string s = sector0(image);
    EXPECT_EQ(qvtest::toHex(s.substr(446, 8)), "8000020083f1fefe");
    EXPECT_EQ(qvtest::toHex(s.substr(462, 8)), c.bytes >= (128ull << 20) ? "00f1fefe83f1fefe" : "0000000000000000");
    EXPECT_EQ(qvtest::toHex(s.substr(478, 32)), std::string(64, '0'));
    EXPECT_EQ(qvtest::toHex(s.substr(510, 2)), "55aa");
    // A blank disk gets the boot program with its two messages.
    EXPECT_EQ(s.substr(0, disk::bootProgramSize), std::string(reinterpret_cast<const char*>(disk::bootProgram), disk::bootProgramSize));
    EXPECT_NE(s.find("Error loading operating system"), std::string::npos);
    EXPECT_NE(s.find("Missing operating system"), std::string::npos);
    EXPECT_EQ(s.substr(disk::bootProgramSize, 446 - disk::bootProgramSize), std::string(446 - disk::bootProgramSize, '\0'));
  }
}

TEST(PartitionTable, KeepsAnExistingBootProgramAndRefusesTinyDisks) {
  TempDir dir;
  std::string old(512, '\0');
  for (size_t i = 0; i < 446; ++i) old[i] = char(i * 7 + 1);
  for (size_t i = 446; i < 510; ++i) old[i] = char(0x5A);  // an old table, replaced
  old[510] = char(0x55);
  old[511] = char(0xAA);
  const std::string image = makeImage(dir, 256ull << 20, old);
  ASSERT_TRUE(disk::writePartitionTable(image));
  const std::string s = sector0(image);
  EXPECT_EQ(s.substr(0, 446), old.substr(0, 446));
  EXPECT_EQ(qvtest::toHex(s.substr(446, 16)), "8000020083f1fefe0100000000000100");
  // Without the signature the old code is not kept.
  old[511] = 0;
  const std::string other = makeImage(dir, 256ull << 20, old);
  ASSERT_TRUE(disk::writePartitionTable(other));
  EXPECT_EQ(sector0(other).substr(0, disk::bootProgramSize),
            std::string(reinterpret_cast<const char*>(disk::bootProgram), disk::bootProgramSize));
  // One sector is too small for any table; a missing disk cannot be opened.
  EXPECT_FALSE(disk::writePartitionTable(makeImage(dir, 512)));
  EXPECT_FALSE(disk::writePartitionTable(dir / "missing"));
  EXPECT_LE(disk::bootProgramSize, 446u);
}

namespace {

struct KernelViewCase {
  const char* name;
  uint64_t bytes;
  std::vector<std::array<uint64_t, 3>> partitions;  // number, start, size as sysfs lists them
  bool seen;
};

}  // namespace

// After a refused re-read, formatting goes on only when the kernel's view of
// the disk already is the new table.
TEST(PartitionTable, KernelViewCheckedAgainstTheNewTable) {
  const uint64_t big = 1ull << 30, small = 64ull << 20;
  const KernelViewCase cases[] = {
      {"two partitions as written", big, {{1, 1, 65536}, {2, 65537, (big >> 9) - 65537}}, true},
      {"one partition as written", small, {{1, 1, (small >> 9) - 1}}, true},
      {"an old partition at 2048", big, {{1, 2048, 65536}, {2, 67584, (big >> 9) - 67584}}, false},
      {"a stale second partition on a small disk", small, {{1, 1, (small >> 9) - 1}, {2, 65537, 100}}, false},
      {"an extra third partition", big, {{1, 1, 65536}, {2, 65537, (big >> 9) - 65537}, {3, 1, 1}}, false},
      {"no partitions known", big, {}, false},
  };
  for (const KernelViewCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir sys;
    // Attributes of the disk itself that are not partitions.
    qvtest::writeFile(sys / "size", std::to_string(c.bytes >> 9));
    qvtest::makeDirs(sys / "queue");
    for (const auto& [number, start, size] : c.partitions) {
      const std::string dir = sys / ("sdq" + std::to_string(number));
      qvtest::writeFile(dir + "/partition", std::to_string(number) + "\n");
      qvtest::writeFile(dir + "/start", std::to_string(start) + "\n");
      qvtest::writeFile(dir + "/size", std::to_string(size) + "\n");
    }
    EXPECT_EQ(disk::kernelSeesTable(sys.path(), c.bytes), c.seen);
  }
}

namespace {

// What a boot can end in: the marker sector's text, the boot program's two
// messages, or the BIOS's own failure. Each path halts after its text (or
// hands back to the BIOS, which then prints none of the others), so what
// matters has all been printed once one of them is there.
const char* const kBootOutcomes[] = {"PARTITION-BOOT-MARKER", "Missing operating system",
                                     "Error loading operating system", "Boot failed"};

// Boots the image in QEMU (BIOS only, no network) and returns what the BIOS
// printed on the serial console up to the first outcome. The deadline only
// guards against a machine that never gets there (emulation on a loaded
// machine can take many times its usual second).
std::string bootOutput(const std::string& image) {
  qvtest::ProcessResult r = qvtest::runProgramUntil(
      {"qemu-system-x86_64", "-nographic", "-m", "16", "-nic", "none", "-no-reboot", "-drive",
       "file=" + image + ",format=raw,if=ide"},
      [](const std::string& out) {
        for (const char* outcome : kBootOutcomes)
          if (out.find(outcome) != std::string::npos) return true;
        return false;
      },
      100);
  return r.out;
}

// A partition boot sector that prints a marker through the BIOS and halts.
std::string markerSector(bool signature) {
  const uint8_t code[] = {
      0xBE, 0x00, 0x00,  // mov si, message (patched below)
      0xAC,              // lodsb
      0x84, 0xC0,        // test al, al
      0x74, 0x09,        // jz halt
      0xB4, 0x0E,        // mov ah, 0x0e
      0xBB, 0x07, 0x00,  // mov bx, 7
      0xCD, 0x10,        // int 0x10
      0xEB, 0xF2,        // jmp lodsb
      0xEB, 0xFE,        // halt: jmp halt
  };
  std::string s(512, '\0');
  memcpy(s.data(), code, sizeof code);
  const uint16_t message = 0x7C00 + 0x40;
  s[1] = char(message & 0xFF);
  s[2] = char(message >> 8);
  const std::string text = "PARTITION-BOOT-MARKER";
  memcpy(s.data() + 0x40, text.data(), text.size());
  if (signature) {
    s[510] = char(0x55);
    s[511] = char(0xAA);
  }
  return s;
}

}  // namespace

struct BootCase {
  const char* name;
  std::function<void(std::string& disk)> change;
  std::string expect;
  std::vector<std::string> absent;
};

TEST(BootProgram, RunsUnderABios) {
  if (runProgram({"sh", "-c", "command -v qemu-system-x86_64"}).status != 0) GTEST_SKIP() << "no qemu-system-x86_64";
  const BootCase cases[] = {
      {"an active partition whose first sector is bootable", [](std::string& d) { d.replace(512, 512, markerSector(true)); },
       "PARTITION-BOOT-MARKER", {"Missing operating system", "Error loading operating system"}},
      {"no boot signature there", [](std::string& d) { d.replace(512, 512, markerSector(false)); },
       "Missing operating system", {"PARTITION-BOOT-MARKER"}},
      {"a read error", [](std::string& d) {
         d.replace(512, 512, markerSector(true));
         d[447] = char(0xFE);  // head 254, cylinder 1023: far past this small disk
         d[448] = char(0xFF);
         d[449] = char(0xFF);
       }, "Error loading operating system", {"PARTITION-BOOT-MARKER"}},
      {"a status that is neither active nor inactive", [](std::string& d) { d[446] = 0x12; },
       "Missing operating system", {"PARTITION-BOOT-MARKER"}},
      {"no active entry: the BIOS's boot failure", [](std::string& d) {
         d.replace(512, 512, markerSector(true));
         d[446] = 0;
       }, "", {"PARTITION-BOOT-MARKER", "Missing operating system", "Error loading operating system"}},
  };
  for (const BootCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string image = makeImage(dir, 64ull << 20);
    ASSERT_TRUE(disk::writePartitionTable(image));
    std::string bytes = head(image, 4096);
    c.change(bytes);
    int fd = open(image.c_str(), O_RDWR);
    ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), 0), ssize_t(bytes.size()));
    close(fd);
    const std::string out = bootOutput(image);
    if (!c.expect.empty()) {
      EXPECT_NE(out.find(c.expect), std::string::npos) << out;
    } else {
      EXPECT_NE(out.find("Boot failed"), std::string::npos) << out;
    }
    for (const std::string& text : c.absent) EXPECT_EQ(out.find(text), std::string::npos) << text << "\n" << out;
  }
}
