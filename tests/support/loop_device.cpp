#include "tests/support/loop_device.h"

#include "tests/support/process.h"

namespace qvtest {

LoopDevice::LoopDevice(const std::string& image, uint64_t offset, uint64_t size) {
  std::vector<std::string> command = {"losetup", "--find", "--show", "--offset", std::to_string(offset)};
  if (size) command.insert(command.end(), {"--sizelimit", std::to_string(size)});
  command.push_back(image);
  ProcessResult attached = runProgram(command);
  if (attached.status == 0 && !attached.out.empty()) path_ = attached.out.substr(0, attached.out.find('\n'));
}

LoopDevice::~LoopDevice() {
  if (ok()) runProgram({"losetup", "--detach", path_});
}

}  // namespace qvtest
