#include "tools/vdisk/loop_device.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vdisk {

bool LoopDevice::attach(const std::string& image, bool readOnly, uint64_t offset, uint64_t size) {
  vl::Fd file(open(image.c_str(), (readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC));
  vl::Fd control(open("/dev/loop-control", O_RDWR | O_CLOEXEC));
  if (!file.valid() || !control.valid()) {
    fprintf(stderr, "vdisk: %s: %s\n", file.valid() ? "/dev/loop-control" : image.c_str(), strerror(errno));
    return false;
  }
  // Another program may take the free device between the two calls: ask again.
  for (int attempt = 0; attempt < 20; ++attempt) {
    const int number = ioctl(control.get(), LOOP_CTL_GET_FREE);
    if (number < 0) break;
    const std::string path = "/dev/loop" + std::to_string(number);
    vl::Fd device(open(path.c_str(), (readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC));
    if (!device.valid()) continue;
    struct loop_config config = {};
    config.fd = uint32_t(file.get());
    config.info.lo_flags = LO_FLAGS_AUTOCLEAR | (readOnly ? LO_FLAGS_READ_ONLY : 0);
    config.info.lo_offset = offset;
    config.info.lo_sizelimit = size;
    struct stat st;
    if (ioctl(device.get(), LOOP_CONFIGURE, &config) == 0 && fstat(device.get(), &st) == 0) {
      device_ = std::move(device);
      path_ = path;
      number_ = st.st_rdev;
      return true;
    }
    if (errno != EBUSY) break;
  }
  fprintf(stderr, "vdisk: no loop device for %s: %s\n", image.c_str(), strerror(errno));
  return false;
}

}  // namespace vdisk
