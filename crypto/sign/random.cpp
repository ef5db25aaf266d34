#include <cerrno>
#include <sys/random.h>

#include "crypto/sign/sign.h"

namespace cipher {

bool randomBytes(uint8_t* out, size_t length) {
  while (length > 0) {
    ssize_t n = getrandom(out, length, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out += n;
    length -= size_t(n);
  }
  return true;
}

}  // namespace cipher
