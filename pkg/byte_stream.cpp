#include "pkg/byte_stream.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "runtime/system.h"

namespace pkg {

ssize_t FdSource::read(void* buffer, size_t n) {
  if (begin_ == end_) {
    // Large reads bypass the buffer.
    if (n >= sizeof buffer_) {
      for (;;) {
        ssize_t got = ::read(fd_, buffer, n);
        if (got < 0 && errno == EINTR) continue;
        return got;
      }
    }
    for (;;) {
      ssize_t got = ::read(fd_, buffer_, sizeof buffer_);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return got;
      begin_ = 0;
      end_ = size_t(got);
      break;
    }
  }
  size_t take = end_ - begin_ < n ? end_ - begin_ : n;
  memcpy(buffer, buffer_ + begin_, take);
  begin_ += take;
  return ssize_t(take);
}

ssize_t MemorySource::read(void* buffer, size_t n) {
  size_t take = size_ - at_ < n ? size_ - at_ : n;
  if (take) memcpy(buffer, data_ + at_, take);
  at_ += take;
  return ssize_t(take);
}

bool FdSink::write(const void* data, size_t n) { return vl::writeAll(fd_, data, n); }

void drain(ByteSource& input) {
  char block[16384];
  while (input.read(block, sizeof block) > 0) {
  }
}

}  // namespace pkg
