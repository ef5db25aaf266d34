#include "pkg/part_reader.h"

#include <cstring>
#include <string>

#include "runtime/fileutil.h"

namespace pkg {

size_t PartReader::take(void* buffer, size_t n, bool hash) {
  auto* out = static_cast<uint8_t*>(buffer);
  size_t got = 0;
  while (got < n) {
    ssize_t r = input_->read(out + got, n - got);
    if (r <= 0) break;
    got += size_t(r);
  }
  if (got > 0) {
    if (tee_ && !tee_->write(out, got)) failed_ = true;
    if (hash && hashing_) active_->update(out, got);
    position_ += got;
  }
  return got;
}

void PartReader::finishDigest() {
  // Zero the whole area first: after a SHA-1 digest, the 12 bytes left must
  // not hold what an earlier SHA-256 digest wrote.
  memset(digest_, 0, sizeof digest_);
  active_->final(digest_);
  digestReady_ = true;
}

bool PartReader::open(ByteSource& input, bool hashing, ByteSink* tee) {
  input_ = &input;
  tee_ = tee;
  hashing_ = hashing;
  failed_ = false;
  ended_ = false;
  position_ = 0;
  type_ = -1;
  partLength_ = remaining_ = 0;
  active_ = &sha1_;
  digestReady_ = false;
  uint8_t header[FILE_HEADER_SIZE];
  if (take(header, sizeof header, false) != sizeof header) {
    failed_ = true;
    return false;
  }
  magic_ = loadLe32(header + FILE_HEADER_MAGIC_OFFSET);
  totalSize_ = uint64_t(loadLe32(header + FILE_HEADER_LENGTH_OFFSET)) + FILE_HEADER_SIZE;
  if (magic_ != PACKAGE_MAGIC && magic_ != OVERLAY_MAGIC) failed_ = true;
  return !failed_;
}

int PartReader::nextPart(const PartTypeSet& accepted) {
  accepted_ = accepted;
  if (failed_ || ended_) return type_ = -1;
  if (!skipRest()) return fail();
  for (;;) {
    uint8_t header[PART_HEADER_SIZE];
    if (take(header, sizeof header, false) != sizeof header) {
      // The end of the file (or an error, or a torn header): the digest so far is final.
      if (hashing_) finishDigest();
      ended_ = true;
      type_ = -1;
      return -1;
    }
    const int type = loadLe16(header + PART_HEADER_TYPE_OFFSET);
    if (hashing_) {
      if (type == PART_HASH_SWITCH) {
        active_ = &sha256_;
      } else if (type == PART_HEADER) {
        // Each package's signature covers its own parts from its header on.
        finishDigest();
      }
      active_->update(header, sizeof header);
    }
    type_ = type;
    partLength_ = remaining_ = loadLe32(header + PART_HEADER_LENGTH_OFFSET);
    if (accepted.contains(type)) return type;
    if (!skipRest()) return fail();
  }
}

int PartReader::fail() {
  // No current part any more: a caller looping while a part type is current
  // must see the end.
  failed_ = true;
  type_ = -1;
  remaining_ = 0;
  return -1;
}

size_t PartReader::read(void* buffer, size_t n) {
  if (failed_ || type_ < 0) return 0;
  if (n > remaining_) n = size_t(remaining_);
  size_t got = take(buffer, n, true);
  remaining_ -= got;
  return got;
}

bool PartReader::skip(uint64_t n, size_t blockSize) {
  uint8_t block[SKIP_BLOCK_SIZE];
  if (blockSize == 0 || blockSize > sizeof block) blockSize = sizeof block;
  while (n > 0) {
    size_t want = n < blockSize ? size_t(n) : blockSize;
    size_t got = read(block, want);
    if (got != want) return false;
    n -= got;
  }
  return true;
}

int PartReader::verifyPackageSignature(const cipher::PackageKeys& keys) {
  if (!hashing_ || failed_ || type_ != PART_SIGNATURE) return 0;
  finishDigest();
  const size_t blockSize = cipher::signatureBlockSize(remaining_);
  if (blockSize == 0) return 0;
  uint8_t block[cipher::SIGNATURE_BLOCK_FULL];
  // The signature bytes are not hashed: they are what is checked against the digest.
  size_t got = take(block, blockSize, false);
  remaining_ -= got;
  if (got != blockSize) return 0;
  return cipher::signatureLevel(digest_, block, blockSize, keys);
}

int requiredSignatureLevel(const std::string& name, uint32_t version) {
  if (vl::fileExists("/ram/SECURE")) return 2;
  if (name == "branding") return 1;
  // Versions released before every package was signed with Ed25519: up to
  // 6.46.8, all of 6.47, 6.48 up to its final release, and 7.0 to 7.1beta3.
  if (version < 0x062E6609u) return 1;
  if (version > 0x062EFFFFu && version < 0x06306601u) return 1;
  if (version > 0x06FFFFFFu && version < 0x07016204u) return 1;
  return 2;
}

}  // namespace pkg
