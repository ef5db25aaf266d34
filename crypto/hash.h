// Incremental digests behind one virtual interface, so that the package reader
// can switch algorithms in the middle of a file by changing which object it feeds.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cipher {

class Hash {
 public:
  virtual size_t lengthFieldSize() const { return 8; }
  virtual ~Hash() = default;
  virtual Hash& update(const void* data, size_t length) = 0;
  virtual size_t blockSize() const { return 64; }
  virtual size_t digestSize() const = 0;
  // Writes digestSize() bytes; the next update starts a new message.
  virtual void final(uint8_t* digest) = 0;
};

// The Merkle-Damgard hashes of FIPS 180-4: a byte count, a block buffer and
// the chaining state. A count of zero means "not started": update and final
// reset the chaining state themselves, so a fresh or finished object simply
// takes the next message.
class BlockHash : public Hash {
 public:
  Hash& update(const void* data, size_t length) override;
  virtual void reset() = 0;
  virtual void compress() = 0;
  // Whole blocks straight from the caller's bytes, for long inputs; the
  // default copies each into the buffer and compresses it.
  virtual void compressBlocks(const uint8_t* data, size_t blocks);

 protected:
  // Appends the padding and the bit length and compresses the last block(s).
  void pad();

  uint32_t countLow = 0;   // message bytes since the last reset, low word first
  uint32_t countHigh = 0;
  uint8_t buffer[128] = {};

 private:
  uint64_t count() const { return uint64_t(countHigh) << 32 | countLow; }
  void setCount(uint64_t n) {
    countLow = uint32_t(n);
    countHigh = uint32_t(n >> 32);
  }
};

class SHA1 final : public BlockHash {
 public:
  static constexpr size_t DIGEST_SIZE = 20;
  size_t digestSize() const override { return DIGEST_SIZE; }
  void final(uint8_t* digest) override;
  void reset() override;
  void compress() override;
  void compressBlocks(const uint8_t* data, size_t blocks) override;

 private:
  void compressPortable(const uint8_t* block);
  uint32_t state[5] = {};
};

class SHA256 : public BlockHash {
 public:
  static constexpr size_t DIGEST_SIZE = 32;
  SHA256();
  size_t digestSize() const override { return DIGEST_SIZE; }
  void final(uint8_t* digest) override;
  void reset() override;
  void compress() override;
  void compressBlocks(const uint8_t* data, size_t blocks) override;

 protected:
  // The construction with other constants (the older signature scheme's hash).
  SHA256(const uint32_t* initialState, const uint32_t* roundConstants);

 private:
  void compressPortable(const uint8_t* block);
  uint32_t state[8] = {};
  const uint32_t* initial;
  const uint32_t* constants;
};

class SHA512 final : public BlockHash {
 public:
  static constexpr size_t DIGEST_SIZE = 64;
  size_t lengthFieldSize() const override { return 16; }
  size_t blockSize() const override { return 128; }
  size_t digestSize() const override { return DIGEST_SIZE; }
  void final(uint8_t* digest) override;
  void reset() override;
  void compress() override;

 private:
  uint64_t state[8] = {};
};

// Big-endian helpers shared by the hashes.
inline uint32_t loadBe32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline uint64_t loadBe64(const uint8_t* p) { return uint64_t(loadBe32(p)) << 32 | loadBe32(p + 4); }
inline void storeBe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}
inline void storeBe64(uint8_t* p, uint64_t v) {
  storeBe32(p, uint32_t(v >> 32));
  storeBe32(p + 4, uint32_t(v));
}

}  // namespace cipher
