// A loop device over a byte range of an image file (one partition of a disk
// image), so that the installer's own code can format and mount it. It
// detaches itself when the last user (this object, a mount) is gone. No
// partition scan: a kernel may read no partition tables at all.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "runtime/system.h"

namespace vdisk {

class LoopDevice {
 public:
  // False (reported) when no loop device can be had.
  [[nodiscard]] bool attach(const std::string& image, bool readOnly, uint64_t offset, uint64_t size);
  const std::string& path() const { return path_; }
  dev_t device() const { return number_; }

 private:
  vl::Fd device_;  // held open: the device lives as long as this object or a mount
  std::string path_;
  dev_t number_ = 0;
};

}  // namespace vdisk
