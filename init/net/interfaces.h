// The network installation's access to the machine's interfaces: every
// Ethernet interface of /proc/net/dev brought up (and made promiscuous), each
// with a UDP socket of its own bound to it and to port 5000, sending to the
// limited broadcast address; and the readiness wait and clock over them.
#pragma once

#include <netinet/in.h>

#include <string>
#include <vector>

#include "init/net/exchange.h"
#include "runtime/system.h"

namespace net {

struct NetInterface {
  std::string name;
  Mac mac{};
  vl::Fd socket;  // close-on-exec: no install child or installed program holds it
};

// In the order of the file; empty when the file, the control socket or a
// hardware address cannot be had. An interface that cannot be set up is left
// out. The list grows with the file as it is read (an interface may appear
// while it is read).
std::vector<NetInterface> openInterfaces(const std::string& procNetDev = "/proc/net/dev");

// Where every frame of the protocol goes: the limited broadcast address, port 5000.
sockaddr_in broadcastAddress();

// The interface name of one line of /proc/net/dev: its first word, cut at
// its first ":"; empty for a line without one (the headings).
std::string interfaceName(const std::string& line);

class SocketNetIo final : public NetIo {
 public:
  explicit SocketNetIo(std::string procNetDev = "/proc/net/dev")
      : procNetDev_(std::move(procNetDev)), interfaces_(openInterfaces(procNetDev_)) {}
  size_t interfaceCount() const override { return interfaces_.size(); }
  Mac mac(size_t interface) const override { return interfaces_[interface].mac; }
  const std::vector<NetInterface>& interfaces() const { return interfaces_; }
  ssize_t send(size_t interface, const uint8_t* frame, size_t n) override;
  ssize_t receive(size_t interface, uint8_t* buffer) override;
  Readiness wait(const std::vector<size_t>& interfaces, bool watchInput, uint64_t timeoutMicros) override;
  uint64_t now() override;
  void rebuild() override;

 private:
  std::string procNetDev_;
  std::vector<NetInterface> interfaces_;
};

}  // namespace net
