#include "pkg/file_entries.h"

namespace pkg {

// The stream is inflated raw, its two-byte zlib header checked here: zlib's
// Adler-32 of the inflated bytes (a sixth of an installation's time) adds
// nothing to the package's digest, which covers the compressed bytes and is
// checked against the signature before anything is committed.
FileEntryStream::FileEntryStream(PartReader& reader) : reader_(reader) {
  zlibOpen_ = inflateInit2(&zs_, -MAX_WBITS) == Z_OK;
  streamEnded_ = !zlibOpen_;
}

bool FileEntryStream::takeZlibHeader() {
  while (zlibHeaderHave_ < sizeof zlibHeader_) {
    if (zs_.avail_in == 0) return false;
    zlibHeader_[zlibHeaderHave_++] = *zs_.next_in++;
    --zs_.avail_in;
  }
  const unsigned cmf = zlibHeader_[0], flg = zlibHeader_[1];
  const bool deflate = (cmf & 0x0f) == Z_DEFLATED && (cmf >> 4) <= 7;
  const bool presetDictionary = (flg & 0x20) != 0;  // never written by the package tools
  headerChecked_ = deflate && !presetDictionary && (cmf * 256 + flg) % 31 == 0;
  return headerChecked_;
}

FileEntryStream::~FileEntryStream() {
  if (zlibOpen_) inflateEnd(&zs_);
}

size_t FileEntryStream::inflated(void* buffer, size_t n) {
  if (streamEnded_) return 0;
  zs_.next_out = static_cast<Bytef*>(buffer);
  zs_.avail_out = uInt(n);
  while (zs_.avail_out > 0) {
    if (zs_.avail_in == 0) {
      size_t got = reader_.read(input_, sizeof input_);
      if (got == 0) {
        streamEnded_ = true;  // the part ended before the compressed data did
        break;
      }
      zs_.next_in = input_;
      zs_.avail_in = uInt(got);
    }
    if (!headerChecked_) {
      if (!takeZlibHeader() && zlibHeaderHave_ == sizeof zlibHeader_) {
        streamEnded_ = true;  // not a zlib stream: damage, as below
        break;
      }
      continue;  // on to the deflate data, or to the header's second byte in the next block
    }
    int status = inflate(&zs_, Z_NO_FLUSH);
    const bool stuck = status == Z_BUF_ERROR && zs_.avail_in > 0;
    if (status == Z_STREAM_END || stuck || (status != Z_OK && status != Z_BUF_ERROR)) {
      // The end of the data, or damage: either ends the entries, and the
      // signature check catches the damage.
      streamEnded_ = true;
      break;
    }
  }
  return n - zs_.avail_out;
}

bool FileEntryStream::next(FileEntry& entry) {
  if (!skipData()) return false;
  uint8_t header[FILE_ENTRY_HEADER_SIZE];
  size_t got = inflated(header, sizeof header);
  if (got != sizeof header) {
    if (got != 0) truncated_ = true;
    return false;
  }
  entry.mode = loadLe16(header + FILE_ENTRY_MODE_OFFSET);
  entry.skipMarker = header[FILE_ENTRY_SKIP_OFFSET] != 0;
  entry.size = loadLe32(header + FILE_ENTRY_SIZE_OFFSET);
  entry.path.resize(loadLe16(header + FILE_ENTRY_PATH_LENGTH_OFFSET));
  if (inflated(entry.path.data(), entry.path.size()) != entry.path.size()) {
    truncated_ = true;
    return false;
  }
  dataLeft_ = entry.size;
  return true;
}

size_t FileEntryStream::readData(void* buffer, size_t n) {
  if (n > FILE_DATA_BLOCK_SIZE) n = FILE_DATA_BLOCK_SIZE;
  if (n > dataLeft_) n = dataLeft_;
  size_t got = inflated(buffer, n);
  dataLeft_ -= uint32_t(got);
  if (got < n) truncated_ = true;
  return got;
}

bool FileEntryStream::skipData() {
  uint8_t block[FILE_DATA_BLOCK_SIZE];
  while (dataLeft_ > 0)
    if (readData(block, sizeof block) == 0) return false;
  return !truncated_;
}

}  // namespace pkg
