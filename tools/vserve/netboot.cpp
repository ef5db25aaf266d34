#include "tools/vserve/netboot.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "runtime/fileutil.h"
#include "runtime/system.h"

namespace vserve {

namespace {

constexpr uint16_t DHCP_SERVER_PORT = 67, DHCP_CLIENT_PORT = 68;
constexpr uint8_t DHCP_DISCOVER = 1, DHCP_OFFER = 2;
constexpr size_t BOOTP_SIZE = 236;  // the fixed part, before the magic cookie
constexpr size_t XID_OFFSET = 4, FLAGS_OFFSET = 10, CHADDR_OFFSET = 28;
const uint8_t kCookie[4] = {99, 130, 83, 99};

std::string discoverPacket(const net::Mac& own, uint32_t xid) {
  std::string p(300, '\0');  // some servers ignore requests shorter than 300 bytes
  p[0] = 1;                  // BOOTREQUEST
  p[1] = 1;                  // Ethernet
  p[2] = 6;
  memcpy(&p[XID_OFFSET], &xid, 4);
  p[FLAGS_OFFSET] = char(0x80);  // answer by broadcast: this side has no address to be sent to
  memcpy(&p[CHADDR_OFFSET], own.data(), 6);
  memcpy(&p[BOOTP_SIZE], kCookie, 4);
  const uint8_t options[] = {53, 1, DHCP_DISCOVER, 55, 2, 1, 3, 255};
  memcpy(&p[BOOTP_SIZE + 4], options, sizeof options);
  return p;
}

bool isOffer(const uint8_t* p, ssize_t n, uint32_t xid) {
  if (n < ssize_t(BOOTP_SIZE + 4) || p[0] != 2 || memcmp(p + XID_OFFSET, &xid, 4) != 0 ||
      memcmp(p + BOOTP_SIZE, kCookie, 4) != 0)
    return false;
  for (size_t i = BOOTP_SIZE + 4; i < size_t(n) && p[i] != 255;) {
    if (p[i] == 0) {
      ++i;
      continue;
    }
    if (i + 1 >= size_t(n) || i + 2 + p[i + 1] > size_t(n)) return false;
    if (p[i] == 53 && p[i + 1] == 1) return p[i + 2] == DHCP_OFFER;
    i += 2 + p[i + 1];
  }
  return false;
}

struct InterfaceAddresses {
  std::string address, mask, ulaPrefix;  // "" when there is none
};

InterfaceAddresses addressesOf(const std::string& interface) {
  InterfaceAddresses found;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return found;
  char text[INET6_ADDRSTRLEN];
  for (ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr || interface != a->ifa_name) continue;
    if (a->ifa_addr->sa_family == AF_INET && found.address.empty() && a->ifa_netmask) {
      found.address = inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, text, sizeof text);
      found.mask = inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_netmask)->sin_addr, text, sizeof text);
    } else if (a->ifa_addr->sa_family == AF_INET6 && found.ulaPrefix.empty()) {
      in6_addr prefix = reinterpret_cast<sockaddr_in6*>(a->ifa_addr)->sin6_addr;
      if ((prefix.s6_addr[0] & 0xFE) != 0xFC) continue;  // unique local addresses only
      memset(prefix.s6_addr + 8, 0, 8);
      found.ulaPrefix = inet_ntop(AF_INET6, &prefix, text, sizeof text);
    }
  }
  freeifaddrs(list);
  return found;
}

// The network of an address under its mask, for proxy DHCP.
std::string networkOf(const std::string& address, const std::string& mask) {
  in_addr a{}, m{};
  inet_pton(AF_INET, address.c_str(), &a);
  inet_pton(AF_INET, mask.c_str(), &m);
  a.s_addr &= m.s_addr;
  char text[INET_ADDRSTRLEN];
  return inet_ntop(AF_INET, &a, text, sizeof text);
}

std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> out;
  size_t at = 0;
  while ((at = line.find_first_not_of(' ', at)) != std::string::npos) {
    const size_t end = line.find(' ', at);
    out.push_back(line.substr(at, end - at));
    at = end;
  }
  return out;
}

}  // namespace

bool probeDhcpServer(const std::string& interface, const net::Mac& own, bool& answered) {
  answered = false;
  vl::Fd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const int on = 1;
  sockaddr_in client = {};
  client.sin_family = AF_INET;
  client.sin_port = htons(DHCP_CLIENT_PORT);
  if (!sock.valid() || setsockopt(sock.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
      setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      setsockopt(sock.get(), SOL_SOCKET, SO_BINDTODEVICE, interface.c_str(), socklen_t(interface.size() + 1)) != 0 ||
      bind(sock.get(), reinterpret_cast<sockaddr*>(&client), sizeof client) != 0) {
    fprintf(stderr, "vserve: cannot look for another DHCP server on %s: %s\n", interface.c_str(), strerror(errno));
    return false;
  }
  sockaddr_in server = {};
  server.sin_family = AF_INET;
  server.sin_port = htons(DHCP_SERVER_PORT);
  server.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  const uint32_t xid = uint32_t(getpid()) * 2654435761u;
  const std::string discover = discoverPacket(own, xid);
  // Three discoveries a second and a half apart: a server may first check by
  // ping that the address it offers is free.
  for (int attempt = 0; attempt < 3 && !answered; ++attempt) {
    (void)sendto(sock.get(), discover.data(), discover.size(), 0, reinterpret_cast<sockaddr*>(&server), sizeof server);
    timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (long left = 1500; !answered && left > 0;) {
      uint8_t reply[1500];
      pollfd p = {sock.get(), POLLIN, 0};
      if (poll(&p, 1, int(left)) <= 0) break;
      const ssize_t n = recv(sock.get(), reply, sizeof reply, 0);
      answered = isOffer(reply, n, xid);
      clock_gettime(CLOCK_MONOTONIC, &now);
      left = 1500 - (now.tv_sec - start.tv_sec) * 1000 - (now.tv_nsec - start.tv_nsec) / 1000000;
    }
  }
  return true;
}

bool BootServer::start(const std::string& interface, const NetbootOptions& options, Report report) {
  report_ = std::move(report);
  // dnsmasq names the files it sent by their whole path.
  NetbootOptions o = options;
  if (char* whole = realpath(options.tree.c_str(), nullptr)) {
    o.tree = whole;
    free(whole);
  }
  tree_ = o.tree;
  for (const char* file : {"/pxelinux.0", "/ldlinux.c32", "/pxelinux.cfg/default", "/boot/vmlinuz", "/boot/initrd.img"})
    if (!vl::fileExists(o.tree + file)) {
      fprintf(stderr, "vserve: --netboot %s: no %s (vmedia net writes the tree)\n", o.tree.c_str(), file + 1);
      return false;
    }
  const InterfaceAddresses a = addressesOf(interface);
  if (a.address.empty()) {
    fprintf(stderr, "vserve: --netboot: %s has no IPv4 address: give it one in the network of the DHCP range\n",
            interface.c_str());
    return false;
  }
  const char* dnsmasq = vl::fileExists("/usr/sbin/dnsmasq") ? "/usr/sbin/dnsmasq" : "dnsmasq";
  std::vector<std::string> args = {dnsmasq, "--no-daemon", "--conf-file=/dev/null", "--port=0",
                                   "--interface=" + interface, "--bind-interfaces", "--leasefile-ro", "--pid-file",
                                   "--enable-tftp", "--tftp-root=" + o.tree, "--log-facility=-", "--user=root"};
  if (o.proxy) {
    args.insert(args.end(), {"--dhcp-range=" + networkOf(a.address, a.mask) + ",proxy," + a.mask,
                             "--pxe-service=x86PC,Quorvane network installation,pxelinux"});
  } else {
    // --no-ping, encap:175 and router advertisements each spare the PXE
    // firmware a wait (for a ping, a proxy DHCP server, a router).
    args.insert(args.end(), {"--dhcp-range=" + o.first + "," + o.last + "," + a.mask + ",10m", "--dhcp-authoritative",
                             "--dhcp-boot=pxelinux.0", "--no-ping", "--dhcp-option=3", "--dhcp-option=6",
                             "--dhcp-option=encap:175,176,1"});
    if (!a.ulaPrefix.empty()) args.insert(args.end(), {"--enable-ra", "--dhcp-range=" + a.ulaPrefix + ",ra-only,64"});
  }
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    // Never outlives vserve, and is stopped by it, not by the terminal's
    // Ctrl-C: vserve reads its last lines first.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(1);
    setpgid(0, 0);
    dup2(pipeFds[1], 1);
    dup2(pipeFds[1], 2);
    std::vector<char*> argv;
    for (std::string& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    fprintf(stderr, "dnsmasq: cannot start: %s (Debian's dnsmasq-base)\n", strerror(errno));
    _exit(127);
  }
  close(pipeFds[1]);
  log_ = pipeFds[0];
  if (pid_ < 0) {
    fprintf(stderr, "vserve: cannot start dnsmasq: %s\n", strerror(errno));
    return false;
  }
  fcntl(log_, F_SETFL, O_NONBLOCK);
  printf("vserve: network boot from %s by dnsmasq on %s (%s)\n", o.tree.c_str(), interface.c_str(),
         o.proxy ? "proxy DHCP beside the segment's DHCP server" : ("DHCP " + o.first + " to " + o.last).c_str());
  fflush(stdout);
  return true;
}

void BootServer::line(const std::string& text) {
  lastLines_ = (lastLines_.size() > 2000 ? lastLines_.substr(lastLines_.size() - 1000) : lastLines_) + text + "\n";
  const std::vector<std::string> w = words(text);
  // "dnsmasq-dhcp: DHCPACK(IFACE) ADDRESS MAC [NAME]", "... PXE(IFACE) ADDRESS MAC proxy"
  for (size_t i = 0; i + 2 < w.size(); ++i) {
    net::Mac mac;
    if ((w[i].rfind("DHCPACK(", 0) == 0 || w[i].rfind("PXE(", 0) == 0) && net::parseMac(w[i + 2], mac)) {
      bool known = false;
      for (auto& [address, machine] : addresses_)
        if (address == w[i + 1]) machine = mac, known = true;
      if (!known) addresses_.push_back({w[i + 1], mac});
      if (w[i].rfind("DHCPACK(", 0) == 0) report_(mac, "leased " + w[i + 1]);
      return;
    }
  }
  // "dnsmasq-tftp: sent PATH to ADDRESS"
  for (size_t i = 0; i + 3 < w.size(); ++i) {
    if (w[i] != "sent" || w[i + 2] != "to") continue;
    std::string file = w[i + 1];
    if (file.rfind(tree_ + "/", 0) == 0) file = file.substr(tree_.size() + 1);
    for (const auto& [address, machine] : addresses_)
      if (address == w[i + 3]) report_(machine, "loaded " + file);
    return;
  }
}

bool BootServer::readLog() {
  char buffer[4096];
  ssize_t n;
  while ((n = read(log_, buffer, sizeof buffer)) > 0) {
    pending_.append(buffer, size_t(n));
    for (size_t end; (end = pending_.find('\n')) != std::string::npos; pending_.erase(0, end + 1))
      line(pending_.substr(0, end));
  }
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
    fprintf(stderr, "vserve: dnsmasq ended:\n%s", lastLines_.c_str());
    return false;
  }
  return true;
}

void BootServer::stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  if (log_ >= 0) close(log_);
  log_ = -1;
}

}  // namespace vserve
