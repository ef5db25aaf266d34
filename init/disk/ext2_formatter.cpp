#include "init/disk/ext2_formatter.h"

#include "init/disk/partition_table.h"
#include "runtime/system.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/stat.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace disk {
namespace {

inline void le16(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void be32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (24 - 8 * i));
}

// Superblock fields (offsets in the 1024-byte superblock).
enum SuperblockOffset : size_t {
  SB_INODES_COUNT = 0, SB_BLOCKS_COUNT = 4, SB_R_BLOCKS_COUNT = 8, SB_FREE_BLOCKS = 12, SB_FREE_INODES = 16,
  SB_FIRST_DATA_BLOCK = 20, SB_LOG_BLOCK_SIZE = 24, SB_LOG_FRAG_SIZE = 28, SB_BLOCKS_PER_GROUP = 32,
  SB_FRAGS_PER_GROUP = 36, SB_INODES_PER_GROUP = 40, SB_MTIME = 44, SB_WTIME = 48, SB_MNT_COUNT = 52,
  SB_MAX_MNT_COUNT = 54, SB_MAGIC = 56, SB_STATE = 58, SB_ERRORS = 60, SB_LASTCHECK = 64, SB_CHECKINTERVAL = 68,
  SB_CREATOR_OS = 72, SB_REV_LEVEL = 76, SB_FIRST_INO = 84, SB_INODE_SIZE = 88, SB_BLOCK_GROUP_NR = 90,
  SB_FEATURE_COMPAT = 92, SB_FEATURE_INCOMPAT = 96, SB_FEATURE_RO_COMPAT = 100, SB_UUID = 104,
  SB_VOLUME_NAME = 120, SB_JOURNAL_INUM = 224, SB_HASH_SEED = 236, SB_DEF_HASH_VERSION = 252,
};
constexpr size_t SUPERBLOCK_SIZE = 1024;
constexpr uint32_t COMPAT_HAS_JOURNAL = 0x04, COMPAT_RESIZE_INODE = 0x10, COMPAT_DIR_INDEX = 0x20;
constexpr uint32_t INCOMPAT_FILETYPE = 0x02;
constexpr uint32_t RO_COMPAT_SPARSE_SUPER = 0x01, RO_COMPAT_LARGE_FILE = 0x02;

// Group descriptor (32 bytes).
constexpr size_t DESCRIPTOR_SIZE = 32;
enum DescriptorOffset : size_t { BG_BLOCK_BITMAP = 0, BG_INODE_BITMAP = 4, BG_INODE_TABLE = 8,
                                 BG_FREE_BLOCKS = 12, BG_FREE_INODES = 14, BG_USED_DIRS = 16 };

// Inode (128 bytes).
enum InodeOffset : size_t { I_MODE = 0, I_SIZE = 4, I_ATIME = 8, I_CTIME = 12, I_MTIME = 16, I_LINKS = 26,
                            I_BLOCKS = 28, I_BLOCK = 40 };
constexpr uint32_t INODE_BAD_BLOCKS = 1, INODE_ROOT = 2, INODE_RESIZE = 7, INODE_JOURNAL = 8, INODE_LOST_FOUND = 11;

// Journal superblock (big-endian).
enum JournalOffset : size_t { JSB_MAGIC = 0, JSB_BLOCK_TYPE = 4, JSB_SEQUENCE = 8, JSB_BLOCK_SIZE = 12,
                              JSB_MAX_LENGTH = 16, JSB_FIRST = 20, JSB_FIRST_SEQUENCE = 24, JSB_START = 28,
                              JSB_UUID = 48, JSB_USERS = 64 };
constexpr uint32_t JOURNAL_MAGIC = 0xC03B3998;
constexpr uint32_t JOURNAL_SUPERBLOCK_V2 = 4;

bool isPowerOf(uint32_t n, uint32_t base) {
  while (n > 1 && n % base == 0) n /= base;
  return n == 1;
}

uint32_t journalSize(uint32_t blocks) {
  if (blocks <= 16382) return 0;
  if (blocks <= 32766) return 1024;
  if (blocks <= 262142) return 4096;
  return 16384;
}

Ext2Layout layoutFor(uint32_t blocks, bool allowJournal) {
  Ext2Layout l;
  l.blocksCount = blocks;
  l.groupsCount = (blocks + EXT2_BLOCKS_PER_GROUP - 1) / EXT2_BLOCKS_PER_GROUP;
  if (l.groupsCount == 0) return l;
  uint32_t perGroup = (blocks / 4 + l.groupsCount - 1) / l.groupsCount;
  l.inodesPerGroup = (perGroup + 31) / 32 * 32;
  l.inodesCount = l.inodesPerGroup * l.groupsCount;
  l.inodeTableBlocks = l.inodesPerGroup / 32;
  l.headerBlocks = 1 + (l.groupsCount + 127) / 128;
  l.journalBlocks = allowJournal ? journalSize(blocks) : 0;
  l.journalIndirect = (l.journalBlocks + 1011) >> 10;
  l.journalDoubleIndirect = (l.journalIndirect + 1022) >> 10;
  l.journalTotal = l.journalBlocks + l.journalIndirect + l.journalDoubleIndirect;
  uint32_t copies = 0;
  for (uint32_t g = 0; g < l.groupsCount; ++g) copies += l.hasSuperblockCopy(g);
  l.totalBlocks = l.groupsCount * (l.inodeTableBlocks + 2) + l.journalTotal + copies * l.headerBlocks + 5;
  return l;
}

}  // namespace

bool Ext2Layout::hasSuperblockCopy(uint32_t g) const {
  return g <= 1 || isPowerOf(g, 3) || isPowerOf(g, 5) || isPowerOf(g, 7);
}

uint32_t Ext2Layout::blocksInGroup(uint32_t g) const {
  return g + 1 < groupsCount ? EXT2_BLOCKS_PER_GROUP : blocksCount - (groupsCount - 1) * EXT2_BLOCKS_PER_GROUP;
}

uint32_t Ext2Layout::usedBlocksInGroup(uint32_t g) const {
  uint32_t used = headerBlocksOf(g) + 2 + inodeTableBlocks;
  if (g == 0) used += journalTotal + 5;
  return used;
}

Ext2Layout Ext2Layout::forSize(uint64_t deviceBytes, bool allowJournal) {
  uint64_t blocks = deviceBytes / EXT2_BLOCK_SIZE;
  if (blocks > 0xFFFFFFFFull) blocks = 0xFFFFFFFFull;
  Ext2Layout l = layoutFor(uint32_t(blocks), allowJournal);
  // A last group that cannot hold its own metadata is left out; the layout
  // (inodes, journal, copies) is worked out again for the smaller size.
  while (l.groupsCount > 1 && l.usedBlocksInGroup(l.groupsCount - 1) > l.blocksInGroup(l.groupsCount - 1))
    l = layoutFor((l.groupsCount - 1) * EXT2_BLOCKS_PER_GROUP, allowJournal);
  return l;
}

namespace {

// The kernel's generator needs no /dev node, which an installation
// environment may not have yet; the device file is the fallback for old kernels.
bool randomBytes(uint8_t* out, size_t n) {
  ssize_t got;
  while ((got = getrandom(out, n, 0)) < 0 && errno == EINTR) {
  }
  if (got == ssize_t(n)) return true;
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  while ((got = read(fd, out, n)) < 0 && errno == EINTR) {
  }
  close(fd);
  return got == ssize_t(n);
}

void randomUuid(std::array<uint8_t, 16>& uuid) {
  if (!randomBytes(uuid.data(), uuid.size())) {
    perror("urandom");
    uuid.fill(0);
  }
  uuid[6] = uint8_t((uuid[6] & 0x0F) | 0x40);
  uuid[8] = uint8_t((uuid[8] & 0x3F) | 0x80);
}

}  // namespace

Ext2Formatter::Ext2Formatter(int fd, uint64_t deviceBytes, const std::string& label, uint32_t baseOffset,
                             bool allowJournal)
    : fd_(fd), baseOffset_(baseOffset), layout_(Ext2Layout::forSize(deviceBytes, allowJournal)), label_(label) {
  creationTime_ = uint32_t(time(nullptr));
  struct stat st;
  imageFile_ = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  randomUuid(uuid_);
  randomUuid(hashSeed_);
}

Ext2Formatter::~Ext2Formatter() {
  if (fd_ >= 0) close(fd_);
}

void Ext2Formatter::setIdentity(const std::array<uint8_t, 16>& uuid, const std::array<uint8_t, 16>& hashSeed,
                                uint32_t time) {
  uuid_ = uuid;
  hashSeed_ = hashSeed;
  creationTime_ = time;
}

// In an image file blocks of zeros become holes: the same bytes when read,
// but a 2 TiB image does not take 17 GB of the host's disk. A run of them (an
// inode table, the journal) is punched with one call when the run ends.
bool Ext2Formatter::deferZeroBlock(const uint8_t* block) {
  if (!imageFile_ || block[0] != 0 || memcmp(block, block + 1, EXT2_BLOCK_SIZE - 1) != 0) return false;
  const off_t at = lseek(fd_, 0, SEEK_CUR);
  if (at < 0) return false;
  if (holeLength_ == 0 || uint64_t(at) != holeStart_ + holeLength_) {
    punchPendingHole();
    holeStart_ = uint64_t(at);
  }
  holeLength_ += EXT2_BLOCK_SIZE;
  return lseek(fd_, at + off_t(EXT2_BLOCK_SIZE), SEEK_SET) >= 0;
}

void Ext2Formatter::punchPendingHole() {
  if (holeLength_ == 0) return;
  const uint64_t start = holeStart_, length = holeLength_;
  holeLength_ = 0;
  if (fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, off_t(start), off_t(length)) == 0) return;
  // A file system without holes: the zeros are written.
  static const uint8_t zeros[EXT2_BLOCK_SIZE] = {};
  for (uint64_t done = 0; done < length; done += EXT2_BLOCK_SIZE) {
    if (pwrite(fd_, zeros, EXT2_BLOCK_SIZE, off_t(start + done)) != ssize_t(EXT2_BLOCK_SIZE)) {
      perror("write");
      error_ = true;
      return;
    }
  }
}

void Ext2Formatter::writeBlock(const uint8_t* block) {
  if (deferZeroBlock(block)) {
    // Holes still to be punched hold no data to flush.
    if (++written_ % 16 == 0 && unsynced_ && !imageFile_) syncWritten();
    return;
  }
  punchPendingHole();
  unsynced_ = true;
  if (!vl::writeAll(fd_, block, EXT2_BLOCK_SIZE)) {
    vl::reportFailure("write");
    error_ = true;
    return;
  }
  ++written_;
  if (written_ % 16 == 0 && !imageFile_) syncWritten();
}

// Keeps what the kernel holds unwritten small: the installation system has
// little memory and formats whole disks. An image file is made on a build
// host, which has the memory: it is synced once, at the end.
void Ext2Formatter::syncWritten() {
  fdatasync(fd_);
  unsynced_ = false;
}

void Ext2Formatter::superblock(uint8_t* block, uint32_t group) const {
  const Ext2Layout& l = layout_;
  uint8_t* sb = block + (group == 0 ? 1024 : 0);
  le32(sb + SB_INODES_COUNT, l.inodesCount);
  le32(sb + SB_BLOCKS_COUNT, l.blocksCount);
  le32(sb + SB_R_BLOCKS_COUNT, 0);
  le32(sb + SB_FREE_BLOCKS, l.blocksCount - l.totalBlocks);
  le32(sb + SB_FREE_INODES, l.inodesCount - EXT2_FIRST_INODE);
  le32(sb + SB_FIRST_DATA_BLOCK, 0);
  le32(sb + SB_LOG_BLOCK_SIZE, 2);
  le32(sb + SB_LOG_FRAG_SIZE, 2);
  le32(sb + SB_BLOCKS_PER_GROUP, EXT2_BLOCKS_PER_GROUP);
  le32(sb + SB_FRAGS_PER_GROUP, EXT2_BLOCKS_PER_GROUP);
  le32(sb + SB_INODES_PER_GROUP, l.inodesPerGroup);
  le32(sb + SB_WTIME, creationTime_);
  le16(sb + SB_MAX_MNT_COUNT, 0xFFFF);
  le16(sb + SB_MAGIC, 0xEF53);
  le16(sb + SB_STATE, 1);
  le16(sb + SB_ERRORS, 1);
  le32(sb + SB_LASTCHECK, creationTime_);
  le32(sb + SB_REV_LEVEL, 1);
  le32(sb + SB_FIRST_INO, EXT2_FIRST_INODE);
  le16(sb + SB_INODE_SIZE, EXT2_INODE_SIZE);
  le16(sb + SB_BLOCK_GROUP_NR, group);
  le32(sb + SB_FEATURE_COMPAT, COMPAT_RESIZE_INODE | COMPAT_DIR_INDEX | (l.journalBlocks ? COMPAT_HAS_JOURNAL : 0));
  le32(sb + SB_FEATURE_INCOMPAT, INCOMPAT_FILETYPE);
  le32(sb + SB_FEATURE_RO_COMPAT, RO_COMPAT_SPARSE_SUPER | RO_COMPAT_LARGE_FILE);
  memcpy(sb + SB_UUID, uuid_.data(), 16);
  memcpy(sb + SB_VOLUME_NAME, label_.data(), std::min<size_t>(label_.size(), 16));
  le32(sb + SB_JOURNAL_INUM, l.journalBlocks ? INODE_JOURNAL : 0);
  memcpy(sb + SB_HASH_SEED, hashSeed_.data(), 16);
  sb[SB_DEF_HASH_VERSION] = 2;  // TEA
}

void Ext2Formatter::descriptors(uint8_t* block, uint32_t index) const {
  const Ext2Layout& l = layout_;
  for (uint32_t i = 0; i < EXT2_BLOCK_SIZE / DESCRIPTOR_SIZE; ++i) {
    const uint32_t g = index * (EXT2_BLOCK_SIZE / DESCRIPTOR_SIZE) + i;
    if (g >= l.groupsCount) break;
    uint8_t* d = block + i * DESCRIPTOR_SIZE;
    const uint32_t bitmap = g * EXT2_BLOCKS_PER_GROUP + l.headerBlocksOf(g);
    le32(d + BG_BLOCK_BITMAP, bitmap);
    le32(d + BG_INODE_BITMAP, bitmap + 1);
    le32(d + BG_INODE_TABLE, bitmap + 2);
    le16(d + BG_FREE_BLOCKS, l.blocksInGroup(g) - l.usedBlocksInGroup(g));
    le16(d + BG_FREE_INODES, l.inodesPerGroup - (g == 0 ? EXT2_FIRST_INODE : 0));
    le16(d + BG_USED_DIRS, g == 0 ? 2 : 0);
  }
}

namespace {
void setBits(uint8_t* bitmap, uint32_t from, uint32_t to) {  // [from, to)
  for (uint32_t b = from; b < to; ++b) bitmap[b / 8] |= uint8_t(1 << (b % 8));
}
}  // namespace

void Ext2Formatter::blockBitmap(uint8_t* block, uint32_t group) const {
  setBits(block, 0, layout_.usedBlocksInGroup(group));
  setBits(block, layout_.blocksInGroup(group), EXT2_BLOCKS_PER_GROUP);
}

void Ext2Formatter::inodeBitmap(uint8_t* block, uint32_t group) const {
  if (group == 0) setBits(block, 0, EXT2_FIRST_INODE);
  memset(block + layout_.inodesPerGroup / 8, 0xFF, EXT2_BLOCK_SIZE - layout_.inodesPerGroup / 8);
}

void Ext2Formatter::firstInodeTableBlock(uint8_t* block) const {
  const Ext2Layout& l = layout_;
  const uint32_t r = l.rootDirectoryBlock();
  auto inode = [&](uint32_t number, uint32_t mode, uint32_t size, uint32_t links, uint32_t sectors) {
    uint8_t* i = block + (number - 1) * EXT2_INODE_SIZE;
    le16(i + I_MODE, mode);
    le32(i + I_SIZE, size);
    le32(i + I_ATIME, creationTime_);
    le32(i + I_CTIME, creationTime_);
    le32(i + I_MTIME, creationTime_);
    le16(i + I_LINKS, links);
    le32(i + I_BLOCKS, sectors);
    return i + I_BLOCK;
  };
  inode(INODE_BAD_BLOCKS, 0, 0, 0, 0);
  le32(inode(INODE_ROOT, 040755, 4096, 3, 8), r);
  inode(INODE_RESIZE, 0100600, 0, 1, 0);
  if (l.journalBlocks) {
    uint8_t* pointers = inode(INODE_JOURNAL, 0100600, l.journalBlocks * EXT2_BLOCK_SIZE, 1, l.journalTotal * 8);
    const uint32_t area = r + 5, firstIndirect = area + l.journalDoubleIndirect;
    const uint32_t data = firstIndirect + l.journalIndirect;
    for (uint32_t k = 0; k < 12 && k < l.journalBlocks; ++k) le32(pointers + 4 * k, data + k);
    if (l.journalIndirect) le32(pointers + 4 * 12, firstIndirect);
    if (l.journalDoubleIndirect) le32(pointers + 4 * 13, area);
  }
  uint8_t* lostFound = inode(INODE_LOST_FOUND, 040700, 16384, 2, 32);
  for (uint32_t k = 0; k < 4; ++k) le32(lostFound + 4 * k, r + 1 + k);
}

void Ext2Formatter::directoryBlock(uint8_t* block, uint32_t index) const {
  auto entry = [](uint8_t* at, uint32_t inode, uint32_t length, const char* name) {
    le32(at, inode);
    le16(at + 4, length);
    at[6] = uint8_t(strlen(name));
    at[7] = inode ? 2 : 0;  // directory
    memcpy(at + 8, name, strlen(name));
  };
  if (index == 0) {
    entry(block, INODE_ROOT, 12, ".");
    entry(block + 12, INODE_ROOT, 12, "..");
    entry(block + 24, INODE_LOST_FOUND, 4072, "lost+found");
  } else if (index == 1) {
    entry(block, INODE_LOST_FOUND, 12, ".");
    entry(block + 12, INODE_ROOT, 4084, "..");
  } else {
    le16(block + 4, 4096);  // one empty entry
  }
}

void Ext2Formatter::journalBlock(uint8_t* block, uint32_t index) const {
  const Ext2Layout& l = layout_;
  const uint32_t area = l.rootDirectoryBlock() + 5, firstIndirect = area + l.journalDoubleIndirect;
  const uint32_t data = firstIndirect + l.journalIndirect;
  if (index < l.journalDoubleIndirect) {
    for (uint32_t k = 1; k < l.journalIndirect; ++k) le32(block + 4 * (k - 1), firstIndirect + k);
    return;
  }
  index -= l.journalDoubleIndirect;
  if (index < l.journalIndirect) {
    for (uint32_t k = 0; k < 1024; ++k) {
      const uint32_t journal = 12 + 1024 * index + k;  // block number within the journal
      if (journal >= l.journalBlocks) break;
      le32(block + 4 * k, data + journal);
    }
    return;
  }
  if (index - l.journalIndirect != 0) return;  // the journal's zero blocks
  be32(block + JSB_MAGIC, JOURNAL_MAGIC);
  be32(block + JSB_BLOCK_TYPE, JOURNAL_SUPERBLOCK_V2);
  be32(block + JSB_SEQUENCE, 0);
  be32(block + JSB_BLOCK_SIZE, EXT2_BLOCK_SIZE);
  be32(block + JSB_MAX_LENGTH, l.journalBlocks);
  be32(block + JSB_FIRST, 1);
  be32(block + JSB_FIRST_SEQUENCE, 1);
  be32(block + JSB_START, 0);
  memcpy(block + JSB_UUID, uuid_.data(), 16);
  be32(block + JSB_USERS, 1);
}

int Ext2Formatter::step() {
  const Ext2Layout& l = layout_;
  if (l.blocksCount <= 15) return -1;  // under 64 KiB: no file system fits
  uint8_t block[EXT2_BLOCK_SIZE];
  bool wrote = false;
  auto put = [&](auto fill) {
    memset(block, 0, sizeof block);
    fill();
    writeBlock(block);
    wrote = true;
  };
  while (!wrote) {
    const bool copy = l.hasSuperblockCopy(group_);
    switch (state_) {
      case 0: {
        const uint64_t position = uint64_t(baseOffset_) + uint64_t(group_) * EXT2_BLOCKS_PER_GROUP * EXT2_BLOCK_SIZE;
        if (lseek(fd_, off_t(position), SEEK_SET) < 0) {
          perror("lseek");
          error_ = true;
          return -1;
        }
        if (copy) put([&] { superblock(block, group_); });
        state_ = 1;
        counter_ = 0;
        break;
      }
      case 1:
        if (copy && counter_ < l.headerBlocks - 1) {
          put([&] { descriptors(block, counter_); });
          ++counter_;
        }
        if (!copy || counter_ >= l.headerBlocks - 1) state_ = 2;
        break;
      case 2:
        put([&] { blockBitmap(block, group_); });
        state_ = 3;
        break;
      case 3:
        put([&] { inodeBitmap(block, group_); });
        state_ = 4;
        counter_ = 0;
        break;
      case 4:
        put([&] {
          if (group_ == 0 && counter_ == 0) firstInodeTableBlock(block);
        });
        if (++counter_ >= l.inodeTableBlocks) {
          state_ = 5;
          counter_ = 0;
        }
        break;
      case 5:
        if (group_ != 0) {
          state_ = 6;
          counter_ = 0;
          break;
        }
        put([&] { directoryBlock(block, counter_); });
        if (++counter_ >= 5) {
          state_ = 6;
          counter_ = 0;
        }
        break;
      case 6:
        if (group_ == 0 && counter_ < l.journalTotal) {
          put([&] { journalBlock(block, counter_); });
          ++counter_;
          if (counter_ < l.journalTotal) break;
        }
        // The group is done.
        state_ = 0;
        counter_ = 0;
        if (++group_ >= l.groupsCount) {
          punchPendingHole();
          if (imageFile_ && fdatasync(fd_) != 0) {
            vl::reportFailure("sync");
            error_ = true;
          }
          // The last write may have failed in this very call.
          return error_ ? -1 : 101;
        }
        if (wrote) return error_ ? -1 : int(uint64_t(written_) * 100 / l.totalBlocks);
        break;
    }
  }
  return error_ ? -1 : int(uint64_t(written_) * 100 / l.totalBlocks);
}

bool formatWithProgress(const std::string& path, const std::string& title, const std::string& label) {
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  uint64_t size = 0;
  if (!diskBytes(fd, size)) size = 0;
  Ext2Formatter formatter(fd, size, label, 0, true);
  // The line is printed when its text changes, not at every block: on a
  // serial console (115200 baud) the repeated lines of a large disk would
  // take minutes, and the screen shows the same at every moment.
  int shown = -1;
  for (;;) {
    int progress = formatter.step();
    if (progress == 101) {
      if (shown == 100)
        printf("\n");  // the line already says 100 %
      else
        printf("\r%s 100%%\n", title.c_str());
      fflush(stdout);
      return true;
    }
    if (progress < 0) {
      printf("\n");
      fflush(stdout);
      perror("failed formatting");
      return false;
    }
    if (progress == shown) continue;
    shown = progress;
    printf("\r%s %d%%", title.c_str(), progress);
    fflush(stdout);
  }
}

}  // namespace disk
