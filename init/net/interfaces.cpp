#include "init/net/interfaces.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace net {

namespace {

// Any IPv4 socket answers the interface requests; this one sends nothing.
constexpr int CONTROL_PROTOCOL = 250;
constexpr short BRING_UP = IFF_UP | IFF_RUNNING | IFF_PROMISC;

ifreq requestFor(const std::string& name) {
  ifreq r = {};
  strncpy(r.ifr_name, name.c_str(), IFNAMSIZ - 1);
  return r;
}

// Up, promiscuous, an IPv4 address (0.0.0.0 when it has none), and a socket
// bound to it and to port 5000.
bool setUp(int control, NetInterface& i) {
  i.socket = vl::Fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const int fd = i.socket.get();
  const int on = 1;
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) return false;
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) (void)fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  if (setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, i.name.c_str(), socklen_t(i.name.size() + 1)) != 0) return false;
  ifreq r = requestFor(i.name);
  if (ioctl(control, SIOCGIFFLAGS, &r) != 0) return false;
  r.ifr_flags = short(r.ifr_flags | BRING_UP);
  if (ioctl(control, SIOCSIFFLAGS, &r) != 0) return false;
  r = requestFor(i.name);
  if (ioctl(control, SIOCGIFADDR, &r) != 0) {
    r = requestFor(i.name);
    sockaddr_in none = {};
    none.sin_family = AF_INET;
    memcpy(&r.ifr_addr, &none, sizeof none);
    if (ioctl(control, SIOCSIFADDR, &r) != 0) return false;
  }
  sockaddr_in any = {};
  any.sin_family = AF_INET;
  any.sin_port = htons(PROTOCOL_PORT);
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  return bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0;
}

}  // namespace

sockaddr_in broadcastAddress() {
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(PROTOCOL_PORT);
  a.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  return a;
}

std::string interfaceName(const std::string& line) {
  const size_t start = line.find_first_not_of(" \t");
  if (start == std::string::npos) return "";
  const size_t end = line.find_first_of(" \t\n", start);
  const std::string word = line.substr(start, end == std::string::npos ? std::string::npos : end - start);
  const size_t colon = word.find(':');
  if (colon == std::string::npos || colon == 0) return "";
  return word.substr(0, std::min(colon, size_t(IFNAMSIZ - 1)));
}

std::vector<NetInterface> openInterfaces(const std::string& procNetDev) {
  std::vector<NetInterface> list;
  FILE* file = fopen(procNetDev.c_str(), "re");
  if (!file) return list;
  vl::Fd control(socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, CONTROL_PROTOCOL));
  char line[256];
  for (int heading = 0; control.valid() && heading < 2 && fgets(line, sizeof line, file); ++heading) {
  }
  while (control.valid() && fgets(line, sizeof line, file)) {
    NetInterface i;
    i.name = interfaceName(line);
    if (i.name.empty()) continue;
    ifreq r = requestFor(i.name);
    if (ioctl(control.get(), SIOCGIFHWADDR, &r) != 0) {
      list.clear();  // no usable interface; the sockets opened so far are closed
      break;
    }
    memcpy(i.mac.data(), r.ifr_hwaddr.sa_data, 6);
    if (isZero(i.mac)) continue;  // loopback
    if (setUp(control.get(), i)) list.push_back(std::move(i));
  }
  fclose(file);
  return list;
}

ssize_t SocketNetIo::send(size_t interface, const uint8_t* frame, size_t n) {
  const sockaddr_in to = broadcastAddress();
  return sendto(interfaces_[interface].socket.get(), frame, n, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

ssize_t SocketNetIo::receive(size_t interface, uint8_t* buffer) {
  sockaddr_in from = {};
  socklen_t length = sizeof from;
  const ssize_t n = recvfrom(interfaces_[interface].socket.get(), buffer, FRAME_SIZE, 0,
                             reinterpret_cast<sockaddr*>(&from), &length);
  if (n < 0 || from.sin_port != htons(PROTOCOL_PORT)) return -1;
  return n;
}

Readiness SocketNetIo::wait(const std::vector<size_t>& interfaces, bool watchInput, uint64_t timeoutMicros) {
  std::vector<pollfd> fds;
  for (size_t i : interfaces) fds.push_back({interfaces_[i].socket.get(), POLLIN, 0});
  if (watchInput) fds.push_back({0, POLLIN, 0});
  // Whole milliseconds, rounded up: a wait never ends before its time.
  const int timeout = int((timeoutMicros + 999) / 1000);
  Readiness r;
  const int ready = poll(fds.data(), fds.size(), timeout);
  if (ready < 0 && errno == EINTR) {
    r.interrupted = true;
  } else if (ready <= 0) {
    r.timedOut = true;
  } else {
    for (size_t k = 0; k < interfaces.size(); ++k)
      if (fds[k].revents & (POLLIN | POLLERR)) r.readable.push_back(interfaces[k]);
    r.input = watchInput && (fds.back().revents & (POLLIN | POLLHUP));
  }
  return r;
}

uint64_t SocketNetIo::now() {
  // A monotonic clock: a time of day set during the run would stretch or cut a wait.
  timespec t;
  if (clock_gettime(CLOCK_MONOTONIC, &t) != 0) return 0;
  return uint64_t(t.tv_sec) * 1000000 + uint64_t(t.tv_nsec) / 1000;
}

void SocketNetIo::rebuild() {
  interfaces_.clear();
  interfaces_ = openInterfaces(procNetDev_);
}

}  // namespace net
