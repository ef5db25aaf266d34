#include "tools/vpkg/package_writer.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "crypto/signature.h"
#include "crypto/sign/sign.h"

namespace vpkg {

using namespace pkg;

PackageWriter::~PackageWriter() {
  if (out_) fclose(out_);
}

bool PackageWriter::open(const std::string& path, uint32_t magic) {
  path_ = path;
  out_ = fopen(path.c_str(), "wb");
  if (!out_) {
    fprintf(stderr, "vpkg: %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  uint8_t header[FILE_HEADER_SIZE];
  storeLe32(header + FILE_HEADER_MAGIC_OFFSET, magic);
  storeLe32(header + FILE_HEADER_LENGTH_OFFSET, 0);
  return emit(header, sizeof header, false);
}

bool PackageWriter::emit(const void* data, size_t n, bool hash) {
  if (n == 0) return ok_;
  if (fwrite(data, 1, n, out_) != n) ok_ = false;
  if (hash) active_->update(data, n);
  written_ += n;
  return ok_;
}

void PackageWriter::partHeader(uint16_t type, uint32_t length) {
  if (type == PART_HASH_SWITCH) {
    active_ = &sha256_;
  } else if (type == PART_HEADER) {
    uint8_t discarded[64];
    active_->final(discarded);  // a package's digest starts at its header
  }
  uint8_t header[PART_HEADER_SIZE];
  storeLe16(header + PART_HEADER_TYPE_OFFSET, type);
  storeLe32(header + PART_HEADER_LENGTH_OFFSET, length);
  emit(header, sizeof header, true);
}

bool PackageWriter::part(uint16_t type, const std::string& payload) {
  return partWithLength(type, uint32_t(payload.size()), payload);
}

bool PackageWriter::partWithLength(uint16_t type, uint32_t length, const std::string& bytes) {
  partHeader(type, length);
  return emit(bytes.data(), bytes.size(), true);
}

bool PackageWriter::partFromFile(uint16_t type, FILE* source, uint64_t size) {
  if (size > 0xffffffffu) {
    fprintf(stderr, "vpkg: %s: a part cannot hold more than 4 GiB\n", path_.c_str());
    return false;
  }
  partHeader(type, uint32_t(size));
  char block[65536];
  while (size > 0) {
    size_t want = size < sizeof block ? size_t(size) : sizeof block;
    if (fread(block, 1, want, source) != want) {
      fprintf(stderr, "vpkg: %s: a source file changed while it was read\n", path_.c_str());
      return false;
    }
    if (!emit(block, want, true)) break;
    size -= want;
  }
  return ok_;
}

bool PackageWriter::signature(SignatureScheme scheme, const PrivateKey* key, size_t payloadLength) {
  const size_t blockSize =
      scheme == SignatureScheme::OLDER ? cipher::SIGNATURE_BLOCK_OLDER : cipher::SIGNATURE_BLOCK_FULL;
  std::string block(blockSize, '\0');
  if (payloadLength == 0) payloadLength = blockSize;
  partHeader(PART_SIGNATURE, uint32_t(payloadLength));
  uint8_t area[cipher::DIGEST_AREA_SIZE] = {};
  active_->final(area);
  auto* b = reinterpret_cast<uint8_t*>(block.data());
  if (scheme != SignatureScheme::NONE) {
    memcpy(b, area, 20);  // informational: the digest the block signs
    if (!older::sign(b + cipher::SIGNATURE_R_OFFSET, b + cipher::SIGNATURE_S_OFFSET, area, key->olderScalar)) {
      fprintf(stderr, "vpkg: no random numbers from the kernel\n");
      return false;
    }
    if (scheme == SignatureScheme::ED25519)
      eddsa::sign(b + cipher::SIGNATURE_ED25519_OFFSET, key->ed25519Seed, area, sizeof area);
  }
  block.resize(payloadLength, '\0');
  return emit(block.data(), block.size(), false);
}

bool PackageWriter::raw(const void* data, size_t n) { return emit(data, n, false); }

bool PackageWriter::close() {
  if (!out_) return false;
  uint8_t length[4];
  storeLe32(length, lengthForced_ ? forcedLength_ : uint32_t(written_ - FILE_HEADER_SIZE));
  if (written_ - FILE_HEADER_SIZE > 0xffffffffu) {
    fprintf(stderr, "vpkg: %s: a package file cannot exceed 4 GiB\n", path_.c_str());
    ok_ = false;
  }
  if (fseek(out_, FILE_HEADER_LENGTH_OFFSET, SEEK_SET) != 0 || fwrite(length, 1, 4, out_) != 4) ok_ = false;
  if (fclose(out_) != 0) ok_ = false;
  out_ = nullptr;
  if (!ok_) fprintf(stderr, "vpkg: %s: write failed\n", path_.c_str());
  return ok_;
}

std::string headerPayload(const std::string& name, uint32_t version, uint32_t buildTime, uint32_t flags,
                          bool withFlags) {
  std::string p(withFlags ? HEADER_FULL_SIZE : HEADER_BASE_SIZE, '\0');
  auto* b = reinterpret_cast<uint8_t*>(p.data());
  memcpy(b + HEADER_NAME_OFFSET, name.data(), std::min(name.size(), NAME_SIZE));
  storeLe32(b + HEADER_VERSION_OFFSET, version);
  storeLe32(b + HEADER_BUILD_TIME_OFFSET, buildTime);
  if (withFlags) storeLe32(b + HEADER_FLAGS_OFFSET, flags);
  return p;
}

std::string entryListPayload(const std::vector<ListEntry>& entries) {
  std::string p(ENTRY_COUNT_SIZE + ENTRY_SIZE * entries.size(), '\0');
  auto* b = reinterpret_cast<uint8_t*>(p.data());
  storeLe16(b, uint16_t(entries.size()));
  for (size_t i = 0; i < entries.size(); ++i) {
    uint8_t* e = b + ENTRY_COUNT_SIZE + ENTRY_SIZE * i;
    memcpy(e + ENTRY_NAME_OFFSET, entries[i].name.data(), std::min(entries[i].name.size(), NAME_SIZE));
    storeLe32(e + ENTRY_MINIMUM_OFFSET, entries[i].minimum);
    storeLe32(e + ENTRY_MAXIMUM_OFFSET, entries[i].maximum);
    storeLe32(e + ENTRY_PRIORITY_OFFSET, uint32_t(entries[i].priority));
  }
  return p;
}

uint64_t FileSpec::size() const {
  if (sourcePath.empty()) return bytes.size();
  struct stat st;
  return stat(sourcePath.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

namespace {

struct Deflater {
  z_stream zs{};
  FILE* out;
  bool ok = true;
  uint64_t written = 0;

  explicit Deflater(FILE* o) : out(o) { ok = deflateInit(&zs, 9) == Z_OK; }
  ~Deflater() { deflateEnd(&zs); }

  bool feed(const void* data, size_t n, int flush) {
    zs.next_in = static_cast<Bytef*>(const_cast<void*>(data));
    zs.avail_in = uInt(n);
    uint8_t block[65536];
    for (;;) {
      zs.next_out = block;
      zs.avail_out = sizeof block;
      int status = deflate(&zs, flush);
      if (status == Z_STREAM_ERROR) return ok = false;
      size_t produced = sizeof block - zs.avail_out;
      if (fwrite(block, 1, produced, out) != produced) return ok = false;
      written += produced;
      if (flush == Z_FINISH ? status == Z_STREAM_END : zs.avail_out != 0) return ok;
    }
  }
};

}  // namespace

FILE* compressFileEntries(const std::vector<FileSpec>& files, uint64_t& compressedSize) {
  FILE* out = tmpfile();
  if (!out) {
    fprintf(stderr, "vpkg: cannot make a temporary file: %s\n", strerror(errno));
    return nullptr;
  }
  Deflater z(out);
  for (const FileSpec& f : files) {
    const uint64_t size = f.size();
    if (size > 0xffffffffu || f.path.size() > 0xffff) {
      fprintf(stderr, "vpkg: %s: too large for a file entry\n", f.path.c_str());
      fclose(out);
      return nullptr;
    }
    uint8_t header[FILE_ENTRY_HEADER_SIZE] = {};
    storeLe16(header + FILE_ENTRY_MODE_OFFSET, f.mode);
    header[FILE_ENTRY_SKIP_OFFSET] = f.skipMarker ? 1 : 0;
    storeLe32(header + FILE_ENTRY_SIZE_OFFSET, uint32_t(size));
    storeLe16(header + FILE_ENTRY_PATH_LENGTH_OFFSET, uint16_t(f.path.size()));
    z.feed(header, sizeof header, Z_NO_FLUSH);
    z.feed(f.path.data(), f.path.size(), Z_NO_FLUSH);
    if (f.sourcePath.empty()) {
      z.feed(f.bytes.data(), f.bytes.size(), Z_NO_FLUSH);
      continue;
    }
    FILE* in = fopen(f.sourcePath.c_str(), "rb");
    if (!in) {
      fprintf(stderr, "vpkg: %s: %s\n", f.sourcePath.c_str(), strerror(errno));
      fclose(out);
      return nullptr;
    }
    char block[65536];
    uint64_t left = size;
    while (left > 0) {
      size_t want = left < sizeof block ? size_t(left) : sizeof block;
      size_t got = fread(block, 1, want, in);
      if (got != want) break;
      z.feed(block, got, Z_NO_FLUSH);
      left -= got;
    }
    fclose(in);
    if (left > 0) {
      fprintf(stderr, "vpkg: %s: file changed size while it was read\n", f.sourcePath.c_str());
      fclose(out);
      return nullptr;
    }
  }
  z.feed(nullptr, 0, Z_FINISH);
  if (!z.ok || fflush(out) != 0) {
    fprintf(stderr, "vpkg: compressing the file entries failed\n");
    fclose(out);
    return nullptr;
  }
  compressedSize = z.written;
  rewind(out);
  return out;
}

}  // namespace vpkg
