#include "pkg/part_reader.h"

#include <gtest/gtest.h>

#include <cstring>

#include "pkg/file_entries.h"
#include "pkg/names.h"
#include "pkg/package_parse.h"
#include "tests/pkg/package_fixture.h"
#include "tests/support/process.h"

using namespace pkg;
using qvtest::SmallPackage;
using qvtest::TempDir;
using vpkg::SignatureScheme;

namespace {

struct PartAt {
  int type;
  size_t header;   // offset of the part header
  size_t payload;  // offset of the payload
  uint32_t length;
};

// The parts of a file, found independently of the reader.
std::vector<PartAt> partsOf(const std::string& bytes) {
  std::vector<PartAt> parts;
  auto* b = reinterpret_cast<const uint8_t*>(bytes.data());
  for (size_t at = FILE_HEADER_SIZE; at + PART_HEADER_SIZE <= bytes.size();) {
    PartAt p{loadLe16(b + at), at, at + PART_HEADER_SIZE, loadLe32(b + at + 2)};
    parts.push_back(p);
    at = p.payload + p.length;
  }
  return parts;
}

PartAt find(const std::vector<PartAt>& parts, int type) {
  for (const PartAt& p : parts)
    if (p.type == type) return p;
  return PartAt{-1, 0, 0, 0};
}

std::string opensslDigest(const char* algorithm, const std::string& bytes) {
  auto r = qvtest::runProgram({"openssl", "dgst", std::string("-") + algorithm, "-binary"}, bytes);
  return r.out;
}

// Reads a package the installation's way up to its signature; returns the
// level and leaves the digest area in area.
int levelAndDigest(const std::string& bytes, std::string& area) {
  MemorySource input(bytes.data(), bytes.size());
  PartReader reader;
  if (!reader.open(input, true)) return -1;
  for (int type = reader.nextPart(INSTALL_PARTS); type >= 0; type = reader.nextPart()) {
    if (type != PART_SIGNATURE) continue;
    int level = reader.verifyPackageSignature();
    area.assign(reinterpret_cast<const char*>(reader.digest()), 32);
    return level;
  }
  return -1;
}

std::string flip(std::string bytes, size_t at, uint8_t mask = 0x01) {
  bytes[at] = char(bytes[at] ^ mask);
  return bytes;
}

// Opens the reader on the input and reads on to the files part.
bool openAtFilesPart(PartReader& reader, ByteSource& input) {
  if (!reader.open(input, true)) return false;
  int type;
  while ((type = reader.nextPart(INSTALL_PARTS)) >= 0 && type != PART_FILES) {
  }
  return type == PART_FILES;
}

}  // namespace

// The signature level for the signature forms a package can carry.
TEST(PartReader, SignatureLevelTable) {
  TempDir dir;
  struct Case {
    const char* name;
    SmallPackage wanted;
    int expected;
  } cases[] = {
      {"Ed25519 and older scheme, SHA-1", {}, 2},
      {"SHA-256 switch before the header", [] { SmallPackage p; p.sha256 = true; return p; }(), 2},
      {"SHA-256 switch after the header", [] { SmallPackage p; p.sha256 = p.switchAfterHeader = true; return p; }(), 2},
      {"older scheme alone", [] { SmallPackage p; p.scheme = SignatureScheme::OLDER; return p; }(), 1},
      {"67-byte signature part", [] { SmallPackage p; p.scheme = SignatureScheme::OLDER; p.signatureLength = 67; return p; }(), 0},
      {"100-byte part read as 68", [] { SmallPackage p; p.scheme = SignatureScheme::OLDER; p.signatureLength = 100; return p; }(), 1},
      {"200-byte part read as 132", [] { SmallPackage p; p.signatureLength = 200; return p; }(), 2},
      {"zero block", [] { SmallPackage p; p.scheme = SignatureScheme::NONE; return p; }(), 0},
      {"unknown part between known ones", [] { SmallPackage p; p.unknownPart = true; return p; }(), 2},
      {"image payload", [] { SmallPackage p; p.image = std::string(5000, 'i'); return p; }(), 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string bytes = qvtest::writeSmallPackage(dir / "p.vpk", c.wanted);
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(qvtest::installWalkLevel(bytes), c.expected);
  }
  // A 132-byte block whose Ed25519 signature is wrong but whose older block is right.
  std::string bytes = qvtest::writeSmallPackage(dir / "p.vpk", SmallPackage{});
  const PartAt signature = find(partsOf(bytes), PART_SIGNATURE);
  EXPECT_EQ(qvtest::installWalkLevel(flip(bytes, signature.payload + 100)), 1);
  EXPECT_EQ(qvtest::installWalkLevel(flip(bytes, signature.payload + 30)), 2);  // older block broken, Ed25519 holds
}

// What the digest covers, recomputed by OpenSSL over slices of the file:
// from the package header (or a later switch part) to the signature part's
// header inclusive. A SHA-1 digest leaves 12 zero bytes in the area.
TEST(PartReader, DigestCoversExactlyTheSignedRegion) {
  TempDir dir;
  struct Case {
    const char* name;
    bool sha256, afterHeader;
    const char* algorithm;
    int startType;
  } cases[] = {
      {"SHA-1 from the header", false, false, "sha1", PART_HEADER},
      {"SHA-256, switch first: from the header", true, false, "sha256", PART_HEADER},
      {"SHA-256, switch after the header: from the switch", true, true, "sha256", PART_HASH_SWITCH},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SmallPackage wanted;
    wanted.sha256 = c.sha256;
    wanted.switchAfterHeader = c.afterHeader;
    std::string bytes = qvtest::writeSmallPackage(dir / "p.vpk", wanted);
    auto parts = partsOf(bytes);
    size_t begin = find(parts, c.startType).header, end = find(parts, PART_SIGNATURE).payload;
    std::string expected = opensslDigest(c.algorithm, bytes.substr(begin, end - begin));
    expected.resize(32, '\0');
    std::string area;
    EXPECT_EQ(levelAndDigest(bytes, area), 2);
    EXPECT_EQ(qvtest::toHex(area), qvtest::toHex(expected));
  }
}

// Any change to a signed byte drops the level to 0 (or breaks the file); the
// file header and the signature bytes are outside the digest.
TEST(PartReader, EveryByteOfTheSignedRegionCounts) {
  TempDir dir;
  std::string bytes = qvtest::writeSmallPackage(dir / "p.vpk", SmallPackage{});
  auto parts = partsOf(bytes);
  const size_t begin = find(parts, PART_HEADER).header, end = find(parts, PART_SIGNATURE).payload;
  std::string area;
  ASSERT_EQ(levelAndDigest(bytes, area), 2);
  for (size_t at = begin; at < end; ++at) EXPECT_LE(qvtest::installWalkLevel(flip(bytes, at)), 0) << "byte " << at;
  for (size_t at : {size_t(4), size_t(5), size_t(6), size_t(7), end, end + 50, end + 131}) {
    std::string other;
    levelAndDigest(flip(bytes, at), other);
    EXPECT_EQ(qvtest::toHex(other), qvtest::toHex(area)) << "byte " << at;
  }
  // The length field is only a hint: a wrong one changes nothing for the walk.
  EXPECT_EQ(qvtest::installWalkLevel(flip(bytes, 6, 0xff)), 2);
}

// A reader used again for a SHA-1 package after a SHA-256 one: the 12 bytes
// after the SHA-1 digest are zero, not left over from the SHA-256 digest.
TEST(PartReader, Sha1AreaIsZeroedAfterSha256) {
  TempDir dir;
  SmallPackage sha256;
  sha256.sha256 = true;
  std::string first = qvtest::writeSmallPackage(dir / "a.vpk", sha256);
  std::string second = qvtest::writeSmallPackage(dir / "b.vpk", SmallPackage{});
  PartReader reader;
  for (const std::string* bytes : {&first, &second}) {
    MemorySource input(bytes->data(), bytes->size());
    ASSERT_TRUE(reader.open(input, true));
    int type;
    while ((type = reader.nextPart(INSTALL_PARTS)) >= 0 && type != PART_SIGNATURE) {
    }
    EXPECT_EQ(reader.verifyPackageSignature(), 2);
  }
  EXPECT_EQ(qvtest::toHex(reader.digest() + 20, 12), std::string(24, '0'));
}

TEST(PartReader, FileHeaderAndPositions) {
  struct Case {
    const char* name;
    std::string header;
    bool opens;
    bool overlay;
    uint64_t total;
  } cases[] = {
      {"package magic", std::string("\x1e\xf1\xd0\xba\x00\x00\x00\x00", 8), true, false, 8},
      {"overlay magic", std::string("\xfb\x0f\x10\xa1\x06\x00\x00\x00", 8), true, true, 14},
      {"largest length: no wrap in 64 bits", std::string("\x1e\xf1\xd0\xba\xff\xff\xff\xff", 8), true, false,
       0x100000007ull},
      {"unknown magic", std::string("\x1e\xf1\xd0\xbb\x00\x00\x00\x00", 8), false, false, 8},
      {"seven bytes", std::string("\x1e\xf1\xd0\xba\x00\x00\x00", 7), false, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemorySource input(c.header.data(), c.header.size());
    PartReader reader;
    EXPECT_EQ(reader.open(input, true), c.opens);
    if (c.opens) {
      EXPECT_EQ(reader.isOverlay(), c.overlay);
      EXPECT_EQ(reader.totalSize(), c.total);
      EXPECT_EQ(reader.position(), 8u);
    }
    EXPECT_EQ(reader.nextPart(INSTALL_PARTS), -1);  // no parts, and no parts after a failure
    EXPECT_EQ(reader.nextPart(INSTALL_PARTS), -1);
  }
}

// Header-level parsing: fields, defaults, the fixed order, and names (B5).
TEST(PartReader, HeaderLevelParse) {
  TempDir dir;
  struct Case {
    const char* name;
    std::vector<std::pair<int, std::string>> parts;
    bool ok;
    uint32_t flags;
    std::string architecture, textA, note, textB;
    bool imageBased;
  };
  auto header = [](const std::string& name, uint32_t flags, bool withFlags = true) {
    return std::make_pair(int(PART_HEADER), vpkg::headerPayload(name, 0x06316603, 42, flags, withFlags));
  };
  const std::string longText(MAX_TEXT_PART + 1, 'x');
  const Case cases[] = {
      {"32-byte header: flags 0", {header("p", 0, false)}, true, 0, "i386", "", "", "", false},
      {"36-byte header: flags read", {header("p", 3)}, true, 3, "i386", "", "", "", false},
      {"33-byte header: flags missing", {{PART_HEADER, vpkg::headerPayload("p", 0x06316603, 2, 0, false) + "x"}}, true, 0, "i386", "", "", "", false},
      {"all texts in order",
       {header("p", 0), {PART_TEXT_B, "b"}, {PART_ARCHITECTURE, "x86_64"}, {PART_TEXT_A, "a"}, {PART_NOTE, "n"}},
       true, 0, "x86_64", "a", "n", "b", false},
      {"a note before the description ends the header parts",
       {header("p", 0), {PART_NOTE, "n"}, {PART_TEXT_A, "a"}}, true, 0, "i386", "", "n", "", false},
      {"image payload after the lists", {header("p", 0), {PART_DEPENDS, std::string(2, '\0')}, {PART_IMAGE_PAYLOAD, "img"}}, true, 0, "i386", "", "", "", true},
      {"header shorter than 32 bytes", {{PART_HEADER, std::string(31, 'a')}}, false, 0, "", "", "", "", false},
      {"empty name", {header("", 0)}, false, 0, "", "", "", "", false},
      {"name '..'", {header("..", 0)}, false, 0, "", "", "", "", false},
      {"name with '/'", {header("../../../etc", 0)}, false, 0, "", "", "", "", false},
      {"name with a blank", {header("a b", 0)}, false, 0, "", "", "", "", false},
      {"name with a control byte", {header("a\x01", 0)}, false, 0, "", "", "", "", false},
      {"16-byte name without NUL", {header("abcdefghijklmnop", 0)}, true, 0, "i386", "", "", "", false},
      {"short entry list", {header("p", 0), {PART_DEPENDS, std::string("\x02\x00", 2) + std::string(40, 'a')}}, false, 0, "", "", "", "", false},
      {"entry list with an empty name", {header("p", 0), {PART_DEPENDS, vpkg::entryListPayload({{""}})}}, false, 0, "", "", "", "", false},
      {"text part over the limit", {header("p", 0), {PART_TEXT_B, longText}}, false, 0, "", "", "", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vpkg::PackageWriter w;
    ASSERT_TRUE(w.open(dir / "h.vpk"));
    for (const auto& [type, payload] : c.parts) ASSERT_TRUE(w.part(uint16_t(type), payload));
    ASSERT_TRUE(w.close());
    std::string bytes = qvtest::readFile(dir / "h.vpk");
    MemorySource input(bytes.data(), bytes.size());
    PartReader reader;
    ASSERT_TRUE(reader.open(input, true));
    reader.nextPart(SCAN_PARTS);
    PackageRecord record;
    EXPECT_EQ(parseHeaderParts(record, reader), c.ok);
    PackageRecord scanned;
    EXPECT_EQ(scanPackageFile(dir / "h.vpk", scanned), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(record.version, 0x06316603u);
    EXPECT_EQ(record.flags, c.flags);
    EXPECT_EQ(record.architecture, c.architecture);
    EXPECT_EQ(record.textA, c.textA);
    EXPECT_EQ(record.note, c.note);
    EXPECT_EQ(record.textB, c.textB);
    EXPECT_EQ(record.imageBased, c.imageBased);
  }
}

// Broken files are recognised by the scan and never crash a reader.
TEST(PartReader, BrokenFiles) {
  TempDir dir;
  std::string good = qvtest::writeSmallPackage(dir / "good.vpk", SmallPackage{});
  PackageRecord record;
  ASSERT_TRUE(scanPackageFile(dir / "good.vpk", record));
  EXPECT_EQ(record.name, "demo");
  EXPECT_EQ(record.totalSize, good.size());

  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"unknown magic", flip(good, 0)},
      {"one byte more than the header says", good + "x"},
      {"one byte less", good.substr(0, good.size() - 1)},
      {"empty file", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    qvtest::writeFile(dir / "bad.vpk", c.bytes);
    PackageRecord r;
    EXPECT_FALSE(scanPackageFile(dir / "bad.vpk", r));
  }
  // Cut at every offset: the scan calls it broken, the install walk never
  // crashes and never finds a good signature.
  for (size_t cut = 0; cut < good.size(); ++cut) {
    std::string prefix = good.substr(0, cut);
    qvtest::writeFile(dir / "cut.vpk", prefix);
    PackageRecord r;
    EXPECT_FALSE(scanPackageFile(dir / "cut.vpk", r)) << cut;
    EXPECT_LE(qvtest::installWalkLevel(prefix), 0) << cut;
  }
  // A bundle without members.
  vpkg::PackageWriter w;
  ASSERT_TRUE(w.open(dir / "empty-bundle.vpk"));
  ASSERT_TRUE(w.part(PART_BUNDLE_HEADER, vpkg::headerPayload("b", 0x06316603, 1, 0)));
  ASSERT_TRUE(w.close());
  PackageRecord bundle;
  EXPECT_FALSE(scanPackageFile(dir / "empty-bundle.vpk", bundle));
}

TEST(PartReader, ScanOfABundleListsItsMembers) {
  TempDir dir;
  std::string a = qvtest::writeSmallPackage(dir / "a.vpk", [] { SmallPackage p; p.name = "alpha"; return p; }());
  std::string b = qvtest::writeSmallPackage(dir / "b.vpk", [] { SmallPackage p; p.name = "beta"; p.image = "I"; return p; }());
  vpkg::PackageWriter w;
  ASSERT_TRUE(w.open(dir / "bundle.vpk"));
  ASSERT_TRUE(w.part(PART_BUNDLE_HEADER, vpkg::headerPayload("bun", 0x06316603, 1, 0)));
  ASSERT_TRUE(w.part(PART_NOTE, "bundle note"));
  ASSERT_TRUE(w.part(PART_DISABLE_LIST, vpkg::entryListPayload({{"gamma"}})));
  ASSERT_TRUE(w.part(PART_IMAGE_PAYLOAD, "bundle image"));
  ASSERT_TRUE(w.raw(a.data() + 8, a.size() - 8));
  ASSERT_TRUE(w.raw(b.data() + 8, b.size() - 8));
  ASSERT_TRUE(w.close());
  PackageRecord record;
  ASSERT_TRUE(scanPackageFile(dir / "bundle.vpk", record));
  EXPECT_TRUE(record.isBundle);
  EXPECT_EQ(record.name, "bun");
  EXPECT_EQ(record.note, "bundle note");
  ASSERT_EQ(record.members.size(), 2u);
  EXPECT_EQ(record.members[0]->name, "alpha");
  EXPECT_FALSE(record.members[0]->imageBased);
  EXPECT_EQ(record.members[1]->name, "beta");
  EXPECT_TRUE(record.members[1]->imageBased);
  EXPECT_EQ(record.members[1]->depends, (std::vector<DependencyEntry>{{"base", 0x06286600, 0, 0}}));
  // Each member keeps its own signature inside the bundle.
  EXPECT_EQ(qvtest::installWalkLevel(qvtest::readFile(dir / "bundle.vpk")), 2);
}

// File entries: what is written, what is skipped, block sizes, and damage.
TEST(PartReader, FileEntries) {
  TempDir dir;
  SmallPackage wanted;
  wanted.files = {
      {"/abs/file", 0x8000 | 0600, false, "", "absolute"},
      {"link", 0xA000 | 0777, false, "", "target"},
      {"dir", 0x4000 | 0755, false, "", "dir data is skipped too"},
      {"skipped", 0x8000 | 0644, true, "", "not written"},
      {"empty", 0x8000 | 0644, false, "", ""},
      {"big", 0x8000 | 0644, false, "", std::string(40000, 'b')},
  };
  std::string bytes = qvtest::writeSmallPackage(dir / "p.vpk", wanted);
  MemorySource input(bytes.data(), bytes.size());
  PartReader reader;
  ASSERT_TRUE(openAtFilesPart(reader, input));
  FileEntryStream stream(reader);
  FileEntry entry;
  std::vector<std::string> written;
  std::string bigData;
  while (stream.next(entry)) {
    if (!entry.written()) continue;  // its data is skipped by the next call
    written.push_back(entry.path);
    uint8_t block[100000];
    size_t n;
    while ((n = stream.readData(block, sizeof block)) > 0) {
      EXPECT_LE(n, FILE_DATA_BLOCK_SIZE);
      if (entry.path == "big") bigData.append(reinterpret_cast<char*>(block), n);
    }
  }
  EXPECT_FALSE(stream.truncated());
  EXPECT_EQ(written, (std::vector<std::string>{"/abs/file", "empty", "big"}));
  EXPECT_EQ(bigData, std::string(40000, 'b'));
  EXPECT_EQ(reader.nextPart(), PART_SIGNATURE);
  EXPECT_EQ(reader.verifyPackageSignature(), 2);

  // Damage inside the compressed data ends the entries; the rest of the part
  // is still hashed, so the signature fails.
  const PartAt files = find(partsOf(bytes), PART_FILES);
  std::string damaged = flip(bytes, files.payload + files.length / 2, 0xff);
  MemorySource damagedInput(damaged.data(), damaged.size());
  PartReader r2;
  ASSERT_TRUE(openAtFilesPart(r2, damagedInput));
  FileEntryStream s2(r2);
  uint8_t block[FILE_DATA_BLOCK_SIZE];
  while (s2.next(entry))
    while (s2.readData(block, sizeof block) > 0) {
    }
  EXPECT_EQ(r2.nextPart(), PART_SIGNATURE);
  EXPECT_EQ(r2.verifyPackageSignature(), 0);
}

// The files part's two-byte zlib header is checked by hand (the data is
// inflated raw): only a deflate stream without a preset dictionary and with
// the right check bits yields entries.
TEST(PartReader, ZlibHeaderOfTheFileEntries) {
  TempDir dir;
  SmallPackage wanted;
  wanted.files = {{"a", 0x8000 | 0644, false, "", "alpha"}, {"b", 0x8000 | 0644, false, "", "beta"}};
  const std::string bytes = qvtest::writeSmallPackage(dir / "p.vpk", wanted);
  const PartAt files = find(partsOf(bytes), PART_FILES);
  ASSERT_EQ(uint8_t(bytes[files.payload]) & 0x0f, 8);
  // The header's flags with their check bits made right.
  auto header = [](uint8_t cmf, uint8_t flags) {
    const uint8_t level = flags & 0xe0;
    return std::string{char(cmf), char(level | (31 - (cmf * 256 + level) % 31) % 31)};
  };
  struct Case {
    const char* what;
    std::string zlibHeader;
    size_t entries;
  } cases[] = {
      {"as written", bytes.substr(files.payload, 2), 2},
      {"smallest window", header(0x08, 0x00), 2},  // raw inflation accepts any window up to 32 KiB
      {"not deflate", header(0x77, 0x80), 0},
      {"window past 32 KiB", header(0x88, 0x80), 0},
      {"preset dictionary", header(0x78, 0xa0), 0},
      {"wrong check bits", std::string{char(0x78), char(0x9d)}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string changed = bytes;
    changed.replace(files.payload, 2, c.zlibHeader);
    MemorySource input(changed.data(), changed.size());
    PartReader reader;
    ASSERT_TRUE(openAtFilesPart(reader, input));
    FileEntryStream stream(reader);
    FileEntry entry;
    size_t entries = 0;
    while (stream.next(entry)) ++entries;
    EXPECT_EQ(entries, c.entries);
    EXPECT_FALSE(stream.truncated());
    EXPECT_EQ(reader.nextPart(), PART_SIGNATURE);
  }
}

TEST(PartReader, RequiredSignatureLevel) {
  struct Case {
    const char* name;
    uint32_t version;
    int expected;
  } cases[] = {
      {"demo", 0x062E6608, 1},      // 6.46.8
      {"demo", 0x062E6609, 2},      // 6.46.9
      {"demo", 0x062F6600, 1},      // 6.47
      {"demo", 0x062F6205, 1},      // 6.47beta5
      {"demo", 0x06306600, 1},      // 6.48
      {"demo", 0x06306601, 2},      // 6.48.1
      {"demo", 0x06316603, 2},      // 6.49.3
      {"demo", 0x06FFFFFF, 2},
      {"demo", 0x07006600, 1},      // 7.0
      {"demo", 0x07016203, 1},      // 7.1beta3
      {"demo", 0x07016204, 2},      // 7.1beta4
      {"branding", 0x07026600, 1},  // branding only ever needs level 1
      {"demo", 0, 1},
  };
  for (bool secure : {false, true}) {
    TempDir root;
    qvtest::makeDirs(root / "ram");
    if (secure) qvtest::writeFile(root / "ram/SECURE", "");
    EXPECT_TRUE(qvtest::runInRoot(root.path(), [&] {
      for (const Case& c : cases)
        EXPECT_EQ(requiredSignatureLevel(c.name, c.version), secure ? 2 : c.expected)
            << c.name << " " << std::hex << c.version;
      return true;
    }));
  }
}

TEST(Names, PackageNamesAndEntryPaths) {
  const std::pair<const char*, bool> names[] = {
      {"dhcp", true}, {"a", true}, {"abcdefghijklmnop", true}, {"x-y_z.1", true},
      {"", false},    {".", false}, {"..", false},              {"abcdefghijklmnopq", false},
      {"a/b", false}, {"a b", false}, {"a\tb", false},          {"\x7f", false},
  };
  for (auto [name, ok] : names) EXPECT_EQ(isValidPackageName(name), ok) << name;
  const std::pair<std::string, bool> paths[] = {
      {"bin/x", true},
      {"/etc/x", true},
      {"a/..b/c", true},
      {"", false},
      {"../etc/x", false},
      {"a/../../x", false},
      {"a/..", false},
      {"a b", false},
      {"a\nb", false},
      {std::string("a\0b", 3), false},
      {std::string(4095, 'a'), false},  // one component over 255
      {std::string(255, 'a') + "/" + std::string(255, 'b'), true},
      {std::string(256, 'a'), false},
      {[] { std::string s; while (s.size() < 4096) s += "abcdefg/"; return s; }(), false},  // over 4095 bytes
  };
  for (const auto& [path, ok] : paths) EXPECT_EQ(isSafeEntryPath(path), ok) << path.substr(0, 40);
}
