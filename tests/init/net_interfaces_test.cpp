// The interfaces of the network installation in network namespaces made by
// the test (veth pairs; the host's interfaces are never touched): which are
// taken, how they are set up, how datagrams travel between them, and an
// enumeration that fails on a vanished interface.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "init/net/interfaces.h"
#include "tests/support/process.h"
#include "tests/support/sandbox.h"

namespace {

// Runs report in a child in a new network namespace; what it returns.
std::string inNamespace(const std::function<std::string()>& report) {
  int ends[2];
  if (pipe(ends) != 0) return "no pipe";
  const pid_t pid = fork();
  if (pid == 0) {
    close(ends[0]);
    std::string text = unshare(CLONE_NEWNET) == 0 ? report() : "no network namespace";
    (void)!write(ends[1], text.data(), text.size());
    _exit(0);
  }
  close(ends[1]);
  const std::string text = qvtest::readToEndAndClose(ends[0]);
  waitpid(pid, nullptr, 0);
  return text;
}

bool ip(const std::string& arguments) {
  return qvtest::runProgram({"sh", "-c", "ip " + arguments}).status == 0;
}

short flagsOf(const std::string& name) {
  ifreq r = {};
  strncpy(r.ifr_name, name.c_str(), IFNAMSIZ - 1);
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  const bool ok = ioctl(fd, SIOCGIFFLAGS, &r) == 0;
  close(fd);
  return ok ? r.ifr_flags : 0;
}

}  // namespace

TEST(NetInterfaces, LoopbackAloneGivesNoInterface) {
  EXPECT_EQ(inNamespace([] { return std::to_string(net::openInterfaces().size()); }), "0");
}

TEST(NetInterfaces, EveryEthernetInterfaceIsBroughtUpWithItsOwnSocket) {
  const std::string report = inNamespace([] {
    if (!ip("link add qva type veth peer name qvb") || !ip("link add qvc type veth peer name qvd") ||
        !ip("addr add 192.0.2.7/24 dev qvc"))
      return std::string("no veth");
    std::vector<std::string> lines;
    std::vector<net::NetInterface> list = net::openInterfaces();
    for (const net::NetInterface& i : list) {
      const short flags = flagsOf(i.name);
      lines.push_back(i.name + ((flags & (IFF_UP | IFF_PROMISC)) == (IFF_UP | IFF_PROMISC) ? " up,promiscuous" : " DOWN") +
                      ((fcntl(i.socket.get(), F_GETFD) & FD_CLOEXEC) ? " cloexec\n" : " INHERITED\n"));
    }
    std::sort(lines.begin(), lines.end());  // in the kernel's order of the device list
    std::string out;
    for (const std::string& l : lines) out += l;
    out += qvtest::runProgram({"sh", "-c", "ip -4 -o addr show dev qvc | grep -o 'inet [0-9./]*'"}).out;
    return out;
  });
  EXPECT_EQ(report,
            "qva up,promiscuous cloexec\nqvb up,promiscuous cloexec\nqvc up,promiscuous cloexec\n"
            "qvd up,promiscuous cloexec\ninet 192.0.2.7/24\n");
}

TEST(NetInterfaces, DatagramsTravelBetweenTheEndsOfAPair) {
  const std::string report = inNamespace([] {
    if (!ip("link add qva type veth peer name qvb")) return std::string("no veth");
    net::SocketNetIo io;
    if (io.interfaceCount() != 2) return std::string("interfaces: ") + std::to_string(io.interfaceCount());
    std::string out;
    const uint8_t frame[24] = {1, 2, 3, 4};
    // A pair just brought up may drop what it is given until the kernel sees
    // its carrier: sent again until it arrives, as the protocol resends.
    ssize_t sent = -1;
    net::Readiness r;
    for (int attempt = 0; attempt < 300 && r.readable.empty(); ++attempt) {
      sent = io.send(0, frame, sizeof frame);
      r = io.wait({1}, false, 100000);
    }
    out += "sent " + std::to_string(sent) + "\n";
    uint8_t buffer[net::FRAME_SIZE];
    out += "received " + std::to_string(r.readable.size() == 1 ? io.receive(1, buffer) : -2) + "\n";
    while (io.receive(0, buffer) >= 0) {  // the sender's own broadcast, looped back to it
    }
    // From another port of the other end: taken off the socket, reported as nothing.
    int other = socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    setsockopt(other, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    setsockopt(other, SOL_SOCKET, SO_BINDTODEVICE, "qvb", 4);
    sockaddr_in from = {};
    from.sin_family = AF_INET;
    from.sin_port = htons(5001);
    bind(other, reinterpret_cast<sockaddr*>(&from), sizeof from);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(5000);
    to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    net::Readiness r2;
    for (int attempt = 0; attempt < 300 && r2.readable.empty(); ++attempt) {
      sendto(other, frame, sizeof frame, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
      r2 = io.wait({0}, false, 100000);
    }
    out += "from 5001 " + std::to_string(r2.readable.size() == 1 ? io.receive(0, buffer) : -2) + "\n";
    close(other);
    return out;
  });
  EXPECT_EQ(report, "sent 24\nreceived 24\nfrom 5001 -1\n");
}

TEST(NetInterfaces, AVanishedInterfaceEndsTheEnumerationAndClosesItsSockets) {
  const std::string report = inNamespace([] {
    if (!ip("link add qva type veth peer name qvb")) return std::string("no veth");
    qvtest::TempDir dir;
    const std::string heading = "Inter-|   Receive\n face |bytes\n";
    qvtest::writeFile(dir / "good", heading + "    lo: 0 0\n   qva: 0 0\nqvb:0 0\n");
    qvtest::writeFile(dir / "vanished", heading + "   qva: 0 0\n  gone: 0 0\n   qvb: 0 0\n");
    const int before = dup(0);
    close(before);
    std::string out = std::to_string(net::openInterfaces(dir / "good").size()) + " ";
    out += std::to_string(net::openInterfaces(dir / "vanished").size()) + " ";
    const int after = dup(0);
    close(after);
    return out + (after == before ? "closed" : "LEAKED");
  });
  EXPECT_EQ(report, "2 0 closed");
}

TEST(NetInterfaces, NamesFromTheLinesOfTheDeviceList) {
  EXPECT_EQ(net::interfaceName("  eth0: 1 2 3"), "eth0");
  EXPECT_EQ(net::interfaceName("eth1:1 2 3"), "eth1");
  EXPECT_EQ(net::interfaceName(" face |bytes    packets"), "");
  EXPECT_EQ(net::interfaceName("a-very-long-interface-name:0"), "a-very-long-int");
}
