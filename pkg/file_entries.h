// The file entries of a PART_FILES part: a zlib stream (RFC 1950) inflated as
// it is read, fed from the part in 4096-byte blocks, with each entry's data
// handed out in blocks of at most 16384 bytes.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <string>

#include "pkg/part_reader.h"

namespace pkg {

struct FileEntry {
  uint16_t mode = 0;
  bool skipMarker = false;
  uint32_t size = 0;
  std::string path;

  // Only regular files without the skip marker are written; every other
  // entry's data is skipped.
  bool written() const { return (mode & FILE_TYPE_MASK) == FILE_TYPE_REGULAR && !skipMarker; }
};

class FileEntryStream {
 public:
  // The reader's current part must be PART_FILES.
  explicit FileEntryStream(PartReader& reader);
  ~FileEntryStream();
  FileEntryStream(const FileEntryStream&) = delete;
  FileEntryStream& operator=(const FileEntryStream&) = delete;

  // The next entry's header and path, skipping what is left of the current
  // entry's data. False at the end of the entries: the end of the compressed
  // data or a zlib error (truncated() tells whether that cut an entry).
  bool next(FileEntry& entry);
  // Up to n bytes (at most 16384) of the current entry's data; 0 when it is
  // all read, or when the stream ends inside it (then truncated() is set).
  size_t readData(void* buffer, size_t n);
  [[nodiscard]] bool skipData();
  // The stream ended inside an entry header, path or data.
  bool truncated() const { return truncated_; }
  // Bytes of the current entry's data not yet read.
  uint32_t dataLeft() const { return dataLeft_; }

 private:
  // Up to n inflated bytes; fewer only at the end of the stream.
  size_t inflated(void* buffer, size_t n);
  // Takes the zlib header from the input; false while it is incomplete or
  // when it is not one of a deflate stream.
  bool takeZlibHeader();

  PartReader& reader_;
  z_stream zs_{};
  bool zlibOpen_ = false;
  bool streamEnded_ = false;
  bool truncated_ = false;
  bool headerChecked_ = false;
  uint8_t zlibHeader_[2];
  size_t zlibHeaderHave_ = 0;
  uint32_t dataLeft_ = 0;
  uint8_t input_[INFLATE_INPUT_BLOCK_SIZE];
};

}  // namespace pkg
