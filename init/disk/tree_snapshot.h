// Trees of the old system kept in memory while the disk is rewritten: a chain
// of chunks holding, for each directory and regular file in pre-order, its
// absolute path, its status record and (for a file) its content.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace disk {

inline constexpr uint32_t SNAPSHOT_MAGIC = 0x5A0937EB;
inline constexpr int32_t SNAPSHOT_CHUNK_SIZE = 16000;

struct SnapshotChunk {
  uint32_t magic;
  int32_t capacity;  // payload bytes: room while building, bytes held when finished
  int32_t cursor;    // bytes used while building, read position while restoring
  SnapshotChunk* next;
  uint8_t payload[1];  // capacity bytes, allocated with the header
};

// Owns its chain of chunks.
class TreeSnapshot {
 public:
  TreeSnapshot();
  ~TreeSnapshot();
  TreeSnapshot(const TreeSnapshot&) = delete;
  TreeSnapshot& operator=(const TreeSnapshot&) = delete;

  SnapshotChunk* first() const { return first_; }
  bool ok() const { return first_ != nullptr; }

  // Building.
  [[nodiscard]] bool appendPath(const std::string& path);  // never split across chunks
  [[nodiscard]] bool append(const void* data, size_t n);   // may span chunks
  void finish();
  // Restoring.
  const char* takePath();
  [[nodiscard]] bool take(void* out, size_t n);
  size_t takeSome(const uint8_t** data, size_t most);
  bool exhausted();

 private:
  SnapshotChunk* newChunk(int32_t capacity);
  SnapshotChunk* first_ = nullptr;
  SnapshotChunk* last_ = nullptr;
  SnapshotChunk* reading_ = nullptr;
};

// Follows symbolic links; devices, FIFOs and sockets are left out. None when
// the path does not exist or anything in it cannot be read completely.
std::unique_ptr<TreeSnapshot> snapshotTree(const std::string& path);
// Recreates the saved objects at their saved paths, with mode, owner, group
// and times. Directories must not exist yet. The snapshot is released.
[[nodiscard]] bool restoreTree(std::unique_ptr<TreeSnapshot> snapshot);

}  // namespace disk
