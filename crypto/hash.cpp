#include "crypto/hash.h"

#include <cstring>

namespace cipher {

Hash& BlockHash::update(const void* data, size_t length) {
  if (length == 0) return *this;
  if (count() == 0) reset();
  auto* in = static_cast<const uint8_t*>(data);
  const size_t block = blockSize();
  uint64_t n = count();
  while (length > 0) {
    size_t at = size_t(n % block);
    if (at == 0 && length >= block) {
      size_t blocks = length / block;
      n += uint64_t(blocks) * block;
      setCount(n);
      compressBlocks(in, blocks);
      in += blocks * block;
      length -= blocks * block;
      continue;
    }
    size_t take = block - at < length ? block - at : length;
    memcpy(buffer + at, in, take);
    in += take;
    length -= take;
    n += take;
    if (at + take == block) {
      setCount(n);
      compress();
    }
  }
  setCount(n);
  return *this;
}

void BlockHash::compressBlocks(const uint8_t* data, size_t blocks) {
  const size_t block = blockSize();
  for (; blocks > 0; --blocks, data += block) {
    memcpy(buffer, data, block);
    compress();
  }
}

void BlockHash::pad() {
  if (count() == 0) reset();
  const size_t block = blockSize();
  const uint64_t bits = count() * 8;
  size_t at = size_t(count() % block);
  buffer[at++] = 0x80;
  if (block - at < lengthFieldSize()) {
    memset(buffer + at, 0, block - at);
    compress();
    at = 0;
  }
  memset(buffer + at, 0, block - 8 - at);
  storeBe64(buffer + block - 8, bits);
  compress();
  setCount(0);
}

}  // namespace cipher
