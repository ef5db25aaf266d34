// The byte streams the package reader reads from and tees to: a file
// descriptor (a package file, standard input, a pipe) or memory.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace pkg {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Up to n bytes; 0 at the end of the stream, -1 on a read error.
  virtual ssize_t read(void* buffer, size_t n) = 0;
};

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  [[nodiscard]] virtual bool write(const void* data, size_t n) = 0;
};

// Buffered reads from a descriptor it does not own; interrupted reads are repeated.
class FdSource final : public ByteSource {
 public:
  explicit FdSource(int fd) : fd_(fd) {}
  ssize_t read(void* buffer, size_t n) override;

 private:
  int fd_;
  uint8_t buffer_[65536];
  size_t begin_ = 0, end_ = 0;
};

class MemorySource final : public ByteSource {
 public:
  MemorySource(const void* data, size_t size) : data_(static_cast<const uint8_t*>(data)), size_(size) {}
  ssize_t read(void* buffer, size_t n) override;

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// Writes to a descriptor it does not own.
class FdSink final : public ByteSink {
 public:
  explicit FdSink(int fd) : fd_(fd) {}
  bool write(const void* data, size_t n) override;

 private:
  int fd_;
};

// Reads the source to its end, discarding the bytes: a sender that is done
// is never left writing into a pipe that nobody reads.
void drain(ByteSource& input);

class StringSink final : public ByteSink {
 public:
  bool write(const void* data, size_t n) override {
    bytes.append(static_cast<const char*>(data), n);
    return true;
  }
  std::string bytes;
};

}  // namespace pkg
