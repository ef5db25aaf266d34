// The network boot that precedes an installation: dnsmasq (Debian's
// dnsmasq-base, never the service) as DHCP and TFTP server for PXE on
// vserve's interface, serving a tree that `vmedia net` wrote. A DHCP server
// already answering on the segment refuses the start, unless dnsmasq is to
// add only the boot options to that server's offers (proxy DHCP).
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "init/net/frame.h"

namespace vserve {

struct NetbootOptions {
  std::string tree;         // pxelinux.0, ldlinux.c32, pxelinux.cfg/, boot/
  std::string first, last;  // the DHCP range (not with proxy)
  bool proxy = false;
};

// Whether a DHCP server answers a DHCPDISCOVER broadcast on the interface
// within a few seconds; false also when the probe cannot be sent (said why).
[[nodiscard]] bool probeDhcpServer(const std::string& interface, const net::Mac& own, bool& answered);

class BootServer {
 public:
  // What a machine did: "leased ADDRESS", "loading FILE".
  using Report = std::function<void(const net::Mac& machine, const std::string& what)>;
  ~BootServer() { stop(); }
  // Starts dnsmasq; false after the message.
  [[nodiscard]] bool start(const std::string& interface, const NetbootOptions& options, Report report);
  // Its log, read when poll says so; false once dnsmasq has ended (said why).
  int logDescriptor() const { return log_; }
  [[nodiscard]] bool readLog();
  void stop();

 private:
  void line(const std::string& text);
  pid_t pid_ = -1;
  int log_ = -1;
  std::string pending_, tree_, lastLines_;
  Report report_;
  std::vector<std::pair<std::string, net::Mac>> addresses_;  // leased address → machine
};

}  // namespace vserve
