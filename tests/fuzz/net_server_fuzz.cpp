// libFuzzer target for what the installation server reads from the wire: a
// sequence of datagrams from any number of clients, each length-prefixed in
// the input, through one server engine.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "tools/vserve/install_server.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const vserve::MachinePlan plan = [] {
    vserve::MachinePlan p;
    p.files = {{"system.vpk", std::make_shared<const std::string>(std::string(9000, 's'))},
               {"router.scr", std::make_shared<const std::string>("x")}};
    return p;
  }();
  vserve::InstallServer server({0x02, 0, 0, 0, 0, 0x99}, {"drv.vpk", std::make_shared<const std::string>("D")},
                               [](const net::Mac&) -> const vserve::MachinePlan& { return plan; });
  uint64_t now = 0;
  while (size >= 2) {
    const size_t length = size_t(data[0] | data[1] << 8) % 4200;
    data += 2;
    size -= 2;
    const size_t n = length < size ? length : size;
    const std::string answer = server.handle(data, ssize_t(n), now += 1000);
    if (answer.size() > net::FRAME_SIZE) __builtin_trap();  // an answer must fit one datagram
    data += n;
    size -= n;
  }
  return 0;
}
