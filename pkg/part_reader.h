// The one reader of package files. It walks the parts, hands out payload
// bytes within the current part, feeds every byte after the file header into
// a running digest (SHA-1, or SHA-256 from a switch part on, restarted at
// each package header) and copies every byte it takes to an optional tee.
// One pass reads, hashes, tees and unpacks; no payload is held whole.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/hash.h"
#include "crypto/signature.h"
#include "pkg/byte_stream.h"
#include "pkg/package_format.h"

namespace pkg {

// A set of part types, as a bit mask; types above 63 are never accepted.
class PartTypeSet {
 public:
  constexpr PartTypeSet(std::initializer_list<int> types) {
    for (int t : types) bits_ |= uint64_t(1) << t;
  }
  constexpr bool contains(int type) const { return type >= 0 && type < 64 && (bits_ >> type & 1); }

 private:
  uint64_t bits_ = 0;
};

// Accepted parts by use.
inline constexpr PartTypeSet SCAN_PARTS = {PART_BUNDLE_HEADER, PART_HEADER, PART_TEXT_B, PART_ARCHITECTURE,
                                           PART_TEXT_A, PART_NOTE, PART_DEPENDS, PART_PROVIDES,
                                           PART_CONFLICTS, PART_IMAGE_PAYLOAD};
inline constexpr PartTypeSet INSTALL_PARTS = {PART_HEADER, PART_BUNDLE_HEADER, PART_DISABLE_LIST,
                                              PART_ARCHITECTURE, PART_DEPENDS, PART_PROVIDES,
                                              PART_CONFLICTS, PART_IMAGE_PAYLOAD, PART_FILES, PART_SIGNATURE};
inline constexpr PartTypeSet INSTALLED_IMAGE_PARTS = {PART_BUNDLE_HEADER, PART_HEADER, PART_TEXT_B, PART_NOTE,
                                                      PART_DEPENDS, PART_PROVIDES, PART_CONFLICTS};

class PartReader {
 public:
  // Reads the file header; false (and failed) on fewer than 8 bytes or an
  // unknown magic.
  [[nodiscard]] bool open(ByteSource& input, bool hashing, ByteSink* tee = nullptr);
  // The rest of the package is not copied to the tee: the copy will not be kept.
  void stopTee() { tee_ = nullptr; }

  bool failed() const { return failed_; }
  bool isOverlay() const { return magic_ == OVERLAY_MAGIC; }
  // The header's length + 8, in 64 bits: a forged length can neither wrap nor be zero-divided by.
  uint64_t totalSize() const { return totalSize_; }
  uint64_t position() const { return position_; }
  int currentType() const { return type_; }
  uint64_t partLength() const { return partLength_; }
  uint64_t remaining() const { return remaining_; }

  // Skips the rest of the current part, then reads part headers until one
  // has an accepted type, skipping the others whole. The type, or -1 at the
  // end of the file or on an error (and -1 from then on).
  int nextPart(const PartTypeSet& accepted);
  // The same with the set of the previous call.
  int nextPart() { return nextPart(accepted_); }

  // Payload of the current part, never beyond its end.
  size_t read(void* buffer, size_t n);
  [[nodiscard]] bool readExact(void* buffer, size_t n) { return read(buffer, n) == n; }
  // Reads through (hashing, teeing) rather than seeking; false on a short read.
  [[nodiscard]] bool skip(uint64_t n, size_t blockSize = SKIP_BLOCK_SIZE);
  [[nodiscard]] bool skipRest(size_t blockSize = SKIP_BLOCK_SIZE) { return skip(remaining_, blockSize); }

  // The current part must be PART_SIGNATURE: finishes the digest and checks
  // the signature block against the keys. Level 0, 1 or 2.
  int verifyPackageSignature(const cipher::PackageKeys& keys = cipher::builtinPackageKeys());

  // The digest area: 20 bytes of SHA-1 and 12 zero bytes, or 32 of SHA-256.
  const uint8_t* digest() const { return digest_; }
  bool digestReady() const { return digestReady_; }
  bool sha256Active() const { return active_ == &sha256_; }

 private:
  // Exactly n bytes from the input unless it ends; tees them and, if asked,
  // hashes them. Returns the count taken.
  size_t take(void* buffer, size_t n, bool hash);
  void finishDigest();
  int fail();

  ByteSource* input_ = nullptr;
  ByteSink* tee_ = nullptr;
  bool hashing_ = false;
  bool failed_ = true;
  bool ended_ = false;
  uint32_t magic_ = 0;
  uint64_t totalSize_ = 0;
  uint64_t position_ = 0;
  int type_ = -1;
  uint64_t partLength_ = 0;
  uint64_t remaining_ = 0;
  PartTypeSet accepted_ = {};

  cipher::SHA1 sha1_;
  cipher::SHA256 sha256_;
  cipher::Hash* active_ = &sha1_;
  uint8_t digest_[cipher::DIGEST_AREA_SIZE] = {};
  bool digestReady_ = false;
};

// The signature level installation demands of a package: 2 when /ram/SECURE
// exists; otherwise 1 for "branding" and for versions from before Ed25519
// signing, else 2.
int requiredSignatureLevel(const std::string& name, uint32_t version);

}  // namespace pkg
