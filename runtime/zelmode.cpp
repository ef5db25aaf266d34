#include "runtime/zelmode.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "runtime/fileutil.h"

namespace vl {

ZELMode ZELMode::loadFrom(const char* path) {
  ZELMode mode;
  memset(&mode, 0, sizeof mode);
  // Written by the running system: a FIFO or a device there must not stop
  // the program before main.
  int fd = openRegularFile(path);
  if (fd < 0) return mode;
  auto* bytes = reinterpret_cast<uint8_t*>(&mode);
  size_t got = 0;
  while (got < sizeof mode) {
    ssize_t n = read(fd, bytes + got, sizeof mode - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += size_t(n);
  }
  close(fd);
  return mode;
}

ZELMode ZELMode::load() { return loadFrom(ZELMODE_PATH); }

const bool flaggedState = ZELMode::load().flagged != 0;

}  // namespace vl
