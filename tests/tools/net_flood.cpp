// A hostile machine on the installation segment, for the server's tests:
// until it is killed it broadcasts, from the protocol's port, datagrams of
// random bytes, frames whose length field lies, discoveries and driver
// requests from invented MACs, and frames that claim the MACs of the honest
// machines (discoveries, driver requests, WTRM, requests with numbers out of
// line), several thousand a second. Seeded: every run sends the same.
// usage: net-flood IFACE SERVER-MAC HONEST-MAC...
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "init/net/frame.h"

namespace {

std::string frame(const net::Mac& from, const net::Mac& to, uint16_t length, uint16_t sequence,
                  uint16_t acknowledgement, const std::string& payload) {
  std::string f(net::HEADER_SIZE, '\0');
  auto* p = reinterpret_cast<uint8_t*>(f.data());
  memcpy(p, from.data(), 6);
  memcpy(p + 6, to.data(), 6);
  net::storeLe16(p + net::PAYLOAD_LENGTH_OFFSET, length);
  net::storeLe16(p + net::SEQUENCE_OFFSET, sequence);
  net::storeLe16(p + net::ACKNOWLEDGEMENT_OFFSET, acknowledgement);
  return f + payload;
}

}  // namespace

int main(int argc, char** argv) {
  net::Mac server;
  std::vector<net::Mac> honest(size_t(argc > 3 ? argc - 3 : 0));
  if (argc < 4 || !net::parseMac(argv[2], server)) return 2;
  for (size_t i = 0; i < honest.size(); ++i)
    if (!net::parseMac(argv[3 + i], honest[i])) return 2;
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  const int on = 1;
  sockaddr_in own = {};
  own.sin_family = AF_INET;
  own.sin_port = htons(net::PROTOCOL_PORT);
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, argv[1], socklen_t(strlen(argv[1]) + 1)) != 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&own), sizeof own) != 0) {
    perror("net-flood");
    return 1;
  }
  sockaddr_in to = own;
  to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  std::mt19937 random(20261211);
  auto invented = [&] {
    net::Mac m;
    for (uint8_t& b : m) b = uint8_t(random());
    m[0] = uint8_t((m[0] & 0xFE) | 0x02);
    return m;
  };
  auto bytes = [&](size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = char(random());
    return s;
  };
  const std::string discovery = std::string("DSCV\n\n\nflood\ni386\n0.0\n6.49.21\n") + '\0';
  const timespec pause = {0, 100000};
  for (uint64_t sent = 0;; ++sent) {
    const net::Mac claimed = honest[random() % honest.size()];
    const auto sequence = uint16_t(random()), acknowledgement = uint16_t(random());
    std::string d;
    switch (random() % 8) {
      case 0: d = bytes(random() % 4200); break;
      case 1: d = frame(invented(), server, uint16_t(random()), 3, 3, "RETR"); break;
      case 2: d = frame(invented(), {}, uint16_t(discovery.size()), 1, 0, discovery); break;
      case 3: d = frame(invented(), {}, 9, 1, 0, std::string("DRVR\n6.1") + '\0'); break;
      case 4: d = frame(claimed, {}, uint16_t(discovery.size()), 1, 0, discovery); break;
      case 5: d = frame(claimed, server, 4, sequence, acknowledgement, "WTRM"); break;
      case 6: d = frame(claimed, server, 4, sequence, acknowledgement, random() % 2 ? "RETR" : "STRT"); break;
      default: d = frame(invented(), server, 4, sequence, acknowledgement, "YACK"); break;
    }
    (void)sendto(fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    // A rate, not a synchronisation: every machine on the segment receives
    // each broadcast, and a flood faster than a client can read would
    // starve it whatever the server does.
    nanosleep(&pause, nullptr);
  }
}
