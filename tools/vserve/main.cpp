// vserve: the installation server of the network installation, on one
// interface of a machine wired to the machines to be installed.
//
//   vserve --interface IFACE --driver DRIVER.vpk [--keep] [--script FILE.scr]
//          [--machine MAC=DIR]... [--machines N] [--once] [--log FILE] PACKAGE...
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include "crypto/signature.h"
#include "init/net/interfaces.h"
#include "pkg/medium.h"
#include "runtime/fileutil.h"
#include "runtime/system.h"
#include "tools/common/package_check.h"
#include "tools/vserve/install_server.h"
#include "tools/vserve/netboot.h"
#include "tools/vserve/status_board.h"

namespace {

const char kHelp[] =
    "usage: vserve --interface IFACE --driver DRIVER.vpk [--keep] [--script FILE.scr]\n"
    "              [--machine MAC=DIR]... [--machines N] [--once] [--log FILE]\n"
    "              [--netboot DIR (--dhcp-range FIRST,LAST | --proxy-dhcp)] PACKAGE...\n"
    "\n"
    "Serves the network installation on one interface: the driver package to\n"
    "every machine that asks for drivers, then the packages (in dependency\n"
    "order) and the configuration script, and answers the end of each\n"
    "installation. Only broadcasts to 255.255.255.255:5000 leave, on IFACE alone.\n"
    "\n"
    "  --keep            the machines keep their old configuration\n"
    "  --script FILE     the configuration script for every machine (its name ends in .scr)\n"
    "  --machine MAC=DIR for the machine with that MAC (aa:bb:cc:dd:ee:ff): the first\n"
    "                    *.scr file of DIR as its script, and a file DIR/keep for keep\n"
    "  --machines N      end once N installations have ended (default: run until stopped)\n"
    "  --once            end when every machine that found this server has ended\n"
    "                    (either ends 5 s later: a machine whose TERM was lost asks again)\n"
    "  --log FILE        record every datagram received and the answer given\n"
    "  --netboot DIR     also boot the machines: dnsmasq serves DIR (vmedia net) by\n"
    "                    DHCP and TFTP for PXE on IFACE, which needs an IPv4 address\n"
    "  --dhcp-range FIRST,LAST  the addresses it leases\n"
    "  --proxy-dhcp      another DHCP server leases the addresses: dnsmasq only adds\n"
    "                    the boot options to its offers. Without it vserve refuses to\n"
    "                    start when another DHCP server answers on the segment.\n"
    "\n"
    "Every package is checked first as the installer reads it (parse, signature\n"
    "level, i386). One run of the protocol carries at most 65,535 frames, about\n"
    "267 MB of files: a larger set is refused.\n";

volatile sig_atomic_t stopping = 0;
void onStop(int) { stopping = 1; }

int usage(const std::string& why) {
  fprintf(stderr, "vserve: %s\n", why.c_str());
  fputs(kHelp, stderr);
  return 2;
}

vserve::ServedFile served(const std::string& path) {
  return {std::filesystem::path(path).filename().string(), std::make_shared<const std::string>(vl::readFileText(path))};
}

struct Options {
  std::string interface, driver, script, log, range;
  vserve::NetbootOptions netboot;
  bool keep = false, once = false;
  long machines = 0;
  std::vector<std::pair<net::Mac, std::string>> machineDirs;
  std::vector<std::string> packages;
};

bool parse(int argc, char** argv, Options& o, std::string& why) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= argc) return false;
      into = argv[++i];
      return true;
    };
    std::string text;
    if (a == "--interface") {
      if (!value(o.interface)) return false;
    } else if (a == "--driver") {
      if (!value(o.driver)) return false;
    } else if (a == "--script") {
      if (!value(o.script)) return false;
    } else if (a == "--netboot") {
      if (!value(o.netboot.tree)) return false;
    } else if (a == "--dhcp-range") {
      if (!value(o.range)) return false;
    } else if (a == "--proxy-dhcp") {
      o.netboot.proxy = true;
    } else if (a == "--log") {
      if (!value(o.log)) return false;
    } else if (a == "--keep") {
      o.keep = true;
    } else if (a == "--once") {
      o.once = true;
    } else if (a == "--machines") {
      if (!value(text) || (o.machines = strtol(text.c_str(), nullptr, 10)) <= 0) return (why = "--machines N: a count"), false;
    } else if (a == "--machine") {
      net::Mac mac;
      const size_t eq = value(text) ? text.find('=') : std::string::npos;
      if (eq == std::string::npos || !net::parseMac(text.substr(0, eq), mac)) return (why = "--machine MAC=DIR"), false;
      o.machineDirs.push_back({mac, text.substr(eq + 1)});
    } else if (!a.empty() && a[0] == '-') {
      return (why = "unknown option " + a), false;
    } else {
      o.packages.push_back(a);
    }
  }
  if (o.interface.empty()) return (why = "--interface IFACE is required: answers go out on that interface only"), false;
  if (o.driver.empty()) return (why = "--driver DRIVER.vpk is required"), false;
  if (!o.netboot.tree.empty() && !o.netboot.proxy) {
    const size_t comma = o.range.find(',');
    if (comma == std::string::npos) return (why = "--netboot needs --dhcp-range FIRST,LAST or --proxy-dhcp"), false;
    o.netboot.first = o.range.substr(0, comma);
    o.netboot.last = o.range.substr(comma + 1);
  }
  return true;
}

// The plan of the default machine and of each named one.
bool makePlans(const Options& o, const std::vector<std::string>& ordered, vserve::MachinePlan& standard,
               std::map<net::Mac, vserve::MachinePlan>& named) {
  for (const std::string& p : ordered) standard.files.push_back(served(p));
  const std::vector<vserve::ServedFile> packages = standard.files;
  standard.keep = o.keep;
  if (!o.script.empty()) {
    if (!vl::fileExists(o.script, S_IFREG) || o.script.size() < 5 || o.script.compare(o.script.size() - 4, 4, ".scr") != 0) {
      fprintf(stderr, "vserve: %s: a script is a file whose name ends in .scr\n", o.script.c_str());
      return false;
    }
    standard.files.push_back(served(o.script));
  }
  for (const auto& [mac, dir] : o.machineDirs) {
    vserve::MachinePlan plan;
    plan.files = packages;
    plan.keep = vl::fileExists(dir + "/keep");
    std::vector<std::string> scripts;
    for (const std::string& f : vl::listDirectory(dir, false, false))
      if (f.size() > 4 && f.compare(f.size() - 4, 4, ".scr") == 0) scripts.push_back(f);
    std::sort(scripts.begin(), scripts.end());
    if (!vl::fileExists(dir, S_IFDIR)) {
      fprintf(stderr, "vserve: %s: no such directory\n", dir.c_str());
      return false;
    }
    if (!scripts.empty()) plan.files.push_back(served(scripts.front()));
    named[mac] = plan;
  }
  bool ok = vserve::framesFor(standard) <= vserve::MAX_FRAMES_PER_RUN;
  for (const auto& [mac, plan] : named) ok = ok && vserve::framesFor(plan) <= vserve::MAX_FRAMES_PER_RUN;
  if (!ok)
    fprintf(stderr, "vserve: these files need more than the 65,535 frames one installation run can carry "
                    "(about 267 MB): serve fewer or smaller packages\n");
  return ok;
}

bool openSocket(const std::string& interface, vl::Fd& socketFd, net::Mac& own) {
  socketFd = vl::Fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const int fd = socketFd.get();
  const int on = 1;
  ifreq r = {};
  strncpy(r.ifr_name, interface.c_str(), IFNAMSIZ - 1);
  sockaddr_in any = {};
  any.sin_family = AF_INET;
  any.sin_port = htons(net::PROTOCOL_PORT);
  if (fd < 0 || ioctl(fd, SIOCGIFHWADDR, &r) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, interface.c_str(), socklen_t(interface.size() + 1)) != 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
    fprintf(stderr, "vserve: interface %s: %s\n", interface.c_str(), strerror(errno));
    return false;
  }
  memcpy(own.data(), r.ifr_hwaddr.sa_data, 6);
  return true;
}

uint64_t monotonicMicros() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return uint64_t(t.tv_sec) * 1000000 + uint64_t(t.tv_nsec) / 1000;
}

// "TYPE seq/ack bytes" of one frame; the type is "data" for a payload that
// does not start with four capital letters.
std::string describe(const uint8_t* frame, size_t n) {
  if (n < net::HEADER_SIZE) return "short(" + std::to_string(n) + ")";
  const net::FrameHeader h = net::readHeader(frame);
  std::string type = "data";
  if (n >= net::HEADER_SIZE + 4 && std::all_of(frame + net::HEADER_SIZE, frame + net::HEADER_SIZE + 4,
                                               [](uint8_t c) { return c >= 'A' && c <= 'Z'; }))
    type.assign(reinterpret_cast<const char*>(frame) + net::HEADER_SIZE, 4);
  char text[96];
  snprintf(text, sizeof text, "%s %s>%s %u/%u %zu", type.c_str(), net::formatMac(h.source).c_str(),
           net::formatMac(h.destination).c_str(), h.sequence, h.acknowledgement, n - net::HEADER_SIZE);
  return text;
}

void logExchange(FILE* log, uint64_t now, const uint8_t* frame, ssize_t n, const std::string& answer) {
  fprintf(log, "%" PRIu64 ".%06" PRIu64 " %s -> %s\n", now / 1000000, now % 1000000,
          describe(frame, size_t(n)).c_str(),
          answer.empty() ? "ignored"
                         : describe(reinterpret_cast<const uint8_t*>(answer.data()), answer.size()).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
      fputs(kHelp, stdout);
      return 0;
    }
  Options o;
  std::string why;
  if (!parse(argc, argv, o, why)) return usage(why.empty() ? "bad arguments" : why);
  tools::PackageRules rules;
  rules.program = "vserve";
  rules.keys = cipher::builtinPackageKeys();
  std::vector<tools::MediumPackage> checked, driverChecked;
  bool ok = tools::checkPackages({o.driver}, rules, driverChecked);
  ok = tools::checkPackages(o.packages, rules, checked) && ok;
  std::vector<std::string> ordered;
  if (!ok || !pkg::installOrderOfFiles(o.packages, ordered)) return 1;  // each was read once already
  vserve::MachinePlan standard;
  std::map<net::Mac, vserve::MachinePlan> named;
  if (!makePlans(o, ordered, standard, named)) return 1;
  vl::Fd sock;
  net::Mac own;
  if (!openSocket(o.interface, sock, own)) return 1;
  vserve::BootServer boot;
  if (!o.netboot.tree.empty()) {
    bool other = false;
    if (!o.netboot.proxy && (!vserve::probeDhcpServer(o.interface, own, other) || other)) {
      if (other)
        fprintf(stderr, "vserve: another DHCP server answers on %s: two would hand out addresses against each other; "
                        "use --proxy-dhcp to add only the boot options to its offers\n", o.interface.c_str());
      return 1;
    }
  }

  FILE* log = nullptr;
  if (!o.log.empty() && !(log = fopen(o.log.c_str(), "we"))) {
    fprintf(stderr, "vserve: %s: %s\n", o.log.c_str(), strerror(errno));
    return 1;
  }
  if (log) setvbuf(log, nullptr, _IOLBF, 0);  // whole lines, as they happen
  std::set<net::Mac> found, ended;
  vserve::StatusBoard board(stdout, isatty(STDOUT_FILENO) == 1);
  uint64_t now = monotonicMicros();
  vserve::InstallServer* engine = nullptr;
  vserve::InstallServer server(
      own, served(o.driver),
      [&](const net::Mac& client) -> const vserve::MachinePlan& {
        const auto it = named.find(client);
        return it == named.end() ? standard : it->second;
      },
      [&](const net::Mac& client, vserve::Event e, const std::string& detail) {
        if (e == vserve::Event::SERVER_OFFERED || e == vserve::Event::DRIVERS_OFFERED) {
          found.insert(client);
          ended.erase(client);
        }
        if (e == vserve::Event::FINISHED) ended.insert(client);
        board.event(client, e, detail, engine->progress(client), now);
      });
  engine = &server;
  if (!o.netboot.tree.empty() &&
      !boot.start(o.interface, o.netboot, [&](const net::Mac& machine, const std::string& what) {
        board.boot(machine, what, now);
      }))
    return 1;
  vl::setSignal(SIGINT, onStop);
  vl::setSignal(SIGTERM, onStop);
  printf("vserve: serving %zu packages on %s (%s)\n", ordered.size(), o.interface.c_str(), net::formatMac(own).c_str());
  fflush(stdout);
  const sockaddr_in to = net::broadcastAddress();
  auto allEnded = [&] {
    if (o.machines > 0) return long(ended.size()) >= o.machines;
    return o.once && !found.empty() && ended.size() == found.size();
  };
  // A TERM can be lost like any frame, and its machine then repeats WTRM
  // once a second: after the last installation ended the server stays a
  // while to answer.
  constexpr uint64_t LINGER = 5000000;
  uint64_t endedAt = 0;
  net::Frame frame{};
  int status = 0;
  uint64_t logRead = now;
  while (!stopping && !(endedAt != 0 && now - endedAt >= LINGER)) {
    // A machine that starts during the wait holds the end back.
    endedAt = allEnded() ? (endedAt != 0 ? endedAt : now) : 0;
    // The next datagram if one waits (no wait on a busy segment), else a
    // wait of at most a tenth of a second, so the live lines move on.
    sockaddr_in from = {};
    socklen_t length = sizeof from;
    const ssize_t n =
        recvfrom(sock.get(), frame.data(), frame.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &length);
    now = monotonicMicros();
    board.tick(server, now);
    // dnsmasq's log is read on a busy segment too: a full pipe would stall it.
    if (boot.logDescriptor() >= 0 && now - logRead >= 100000) {
      logRead = now;
      if (!boot.readLog() && !stopping) {
        status = 1;
        break;
      }
    }
    if (n < 0) {
      pollfd p[2] = {{sock.get(), POLLIN, 0}, {boot.logDescriptor(), POLLIN, 0}};
      (void)poll(p, boot.logDescriptor() >= 0 ? 2 : 1, 100);
      continue;
    }
    if (n < 0 || from.sin_port != htons(net::PROTOCOL_PORT)) continue;
    const std::string answer = server.handle(frame.data(), n, now);
    if (log) logExchange(log, now, frame.data(), n, answer);
    if (!answer.empty())
      (void)sendto(sock.get(), answer.data(), answer.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }
  boot.stop();
  board.summary(server);
  if (log) fclose(log);
  return status;
}
