// A loop device over a byte range of an image file, detached when the test
// is done with it: the host's own disks are never touched.
#pragma once

#include <cstdint>
#include <string>

namespace qvtest {

class LoopDevice {
 public:
  // size 0: to the end of the file.
  LoopDevice(const std::string& image, uint64_t offset = 0, uint64_t size = 0);
  ~LoopDevice();
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;
  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace qvtest
