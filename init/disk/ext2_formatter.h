// The installer's own ext2/ext3 formatter: a second-revision ext2 file system
// with 4 KiB blocks, an ext3 journal on partitions of 16,383 blocks or more,
// written as one forward pass of metadata blocks, one block per step. Free
// data blocks are never touched.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "init/disk/step_job.h"

namespace disk {

inline constexpr uint32_t EXT2_BLOCK_SIZE = 4096;
inline constexpr uint32_t EXT2_BLOCKS_PER_GROUP = 32768;
inline constexpr uint32_t EXT2_INODE_SIZE = 128;
inline constexpr uint32_t EXT2_FIRST_INODE = 11;

// The layout of one file system, computed from its size alone.
struct Ext2Layout {
  uint32_t blocksCount = 0;
  uint32_t groupsCount = 0;
  uint32_t inodesPerGroup = 0;
  uint32_t inodesCount = 0;
  uint32_t inodeTableBlocks = 0;
  uint32_t headerBlocks = 0;      // superblock + descriptor blocks
  uint32_t journalBlocks = 0;     // J
  uint32_t journalIndirect = 0;
  uint32_t journalDoubleIndirect = 0;
  uint32_t journalTotal = 0;
  uint32_t totalBlocks = 0;       // blocks the formatter writes

  // A last group too small for its own metadata is left out of the file
  // system (the blocks count drops to the whole groups before it).
  static Ext2Layout forSize(uint64_t deviceBytes, bool allowJournal);
  bool hasSuperblockCopy(uint32_t group) const;
  uint32_t blocksInGroup(uint32_t group) const;
  uint32_t usedBlocksInGroup(uint32_t group) const;
  uint32_t headerBlocksOf(uint32_t group) const { return hasSuperblockCopy(group) ? headerBlocks : 0; }
  uint32_t rootDirectoryBlock() const { return headerBlocks + 2 + inodeTableBlocks; }  // R, in group 0
};

class Ext2Formatter final : public StepJob {
 public:
  // Takes ownership of fd. Computes the layout, reads the time and makes the
  // UUIDs; writes nothing.
  Ext2Formatter(int fd, uint64_t deviceBytes, const std::string& label, uint32_t baseOffset, bool allowJournal);
  ~Ext2Formatter() override;
  Ext2Formatter(const Ext2Formatter&) = delete;
  Ext2Formatter& operator=(const Ext2Formatter&) = delete;

  int step() override;

  const Ext2Layout& layout() const { return layout_; }
  uint32_t blocksWritten() const { return written_; }
  // For tests and reproducible images: fixed identity instead of random.
  void setIdentity(const std::array<uint8_t, 16>& uuid, const std::array<uint8_t, 16>& hashSeed, uint32_t time);

 private:
  void writeBlock(const uint8_t* block);
  bool deferZeroBlock(const uint8_t* block);
  void punchPendingHole();
  void syncWritten();
  void superblock(uint8_t* block, uint32_t group) const;
  void descriptors(uint8_t* block, uint32_t index) const;
  void blockBitmap(uint8_t* block, uint32_t group) const;
  void inodeBitmap(uint8_t* block, uint32_t group) const;
  void firstInodeTableBlock(uint8_t* block) const;
  void directoryBlock(uint8_t* block, uint32_t index) const;
  // The journal area, by its index from the first (double-)indirect block.
  void journalBlock(uint8_t* block, uint32_t index) const;

  int fd_;
  bool imageFile_ = false;
  uint64_t holeStart_ = 0, holeLength_ = 0;  // zero blocks not yet punched
  bool unsynced_ = false;                     // data written since the last fdatasync
  uint32_t baseOffset_;
  Ext2Layout layout_;
  std::array<uint8_t, 16> uuid_{};
  std::array<uint8_t, 16> hashSeed_{};
  uint32_t creationTime_ = 0;
  uint32_t group_ = 0;
  uint32_t written_ = 0;
  uint32_t counter_ = 0;
  bool error_ = false;
  std::string label_;
  int state_ = 0;
};

// Formats the partition (or image file) at path with the label "system",
// printing "\r<title> <percent>%" whenever the percentage changes. False on failure
// (reported with perror("failed formatting")).
[[nodiscard]] bool formatWithProgress(const std::string& path, const std::string& title,
                                      const std::string& label = "system");

}  // namespace disk
