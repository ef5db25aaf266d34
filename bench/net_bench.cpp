// The network installation's transfer: vserve serving a package over a veth
// pair (each end in a network namespace of its own, made here) to clients
// that run the installer's own exchanges, beside the stop-and-wait limit of
// that link: a bare UDP ping-pong of the protocol's shape (a 24-byte request
// broadcast, a 4096-byte answer broadcast, 4076 payload bytes a round trip),
// measured in the same run. With 1, 4 and 16 clients at once (each with a MAC
// of its own, all on the one link) for the aggregate rate; the baseline then
// runs as many ping-pongs at once. Needs root.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/ratio_reporter.h"
#include "init/net/exchange.h"
#include "init/net/interfaces.h"
#include "runtime/fileutil.h"

namespace {

const std::string kDir = QV_BENCH_DIR;
const std::string kServerSpace = "qvb-srv-" + std::to_string(getpid());
const std::string kClientSpace = "qvb-cli-" + std::to_string(getpid());
constexpr size_t kPackageBytes = 8 << 20;

bool run(const std::string& command) { return system((command + " >/dev/null 2>&1").c_str()) == 0; }

uint64_t monotonicMicros() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return uint64_t(t.tv_sec) * 1000000 + uint64_t(t.tv_nsec) / 1000;
}

// A socket of the protocol on the client's end of the link: port 5000,
// broadcasts, bound to the interface; several may share the port and each
// receives every broadcast, as every machine on a segment does.
int protocolSocket(const char* interface) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int on = 1, buffer = 1 << 20;
  sockaddr_in any = {};
  any.sin_family = AF_INET;
  any.sin_port = htons(net::PROTOCOL_PORT);
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, interface, socklen_t(strlen(interface) + 1)) != 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
    perror("net_bench: socket");
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

const sockaddr_in kBroadcast = net::broadcastAddress();

// One simulated machine: the client's interface with a MAC of its own.
class SimulatedIo final : public net::NetIo {
 public:
  SimulatedIo(int fd, net::Mac mac) : fd_(fd), mac_(mac) {}
  ~SimulatedIo() override { close(fd_); }
  size_t interfaceCount() const override { return 1; }
  net::Mac mac(size_t) const override { return mac_; }
  ssize_t send(size_t, const uint8_t* frame, size_t n) override {
    return sendto(fd_, frame, n, 0, reinterpret_cast<const sockaddr*>(&kBroadcast), sizeof kBroadcast);
  }
  ssize_t receive(size_t, uint8_t* buffer) override { return recv(fd_, buffer, net::FRAME_SIZE, MSG_DONTWAIT); }
  net::Readiness wait(const std::vector<size_t>&, bool, uint64_t timeoutMicros) override {
    net::Readiness r;
    pollfd p = {fd_, POLLIN, 0};
    const int n = poll(&p, 1, int((timeoutMicros + 999) / 1000));
    if (n > 0) r.readable.push_back(0);
    else r.timedOut = true;
    return r;
  }
  uint64_t now() override { return monotonicMicros(); }
  void rebuild() override {}

 private:
  int fd_;
  net::Mac mac_;
};

// One installation as the installer runs it, without a disk: discovery,
// STRT, every file, WTRM. The bytes received, or 0 on a failure.
uint64_t installOnce(net::NetIo& io) {
  net::NetSession s(io);
  net::discoverServer(s, "bench", "0.0");
  net::Frame frame{}, reply{};
  net::buildRequest(s, frame.data(), "STRT");
  if (net::sendAndAwait(s, size_t(s.chosen), frame.data(), reply.data(), 1000000, 30) < 0) return 0;
  uint64_t bytes = 0;
  net::NetFileStream stream(s);
  static thread_local uint8_t block[net::MAX_PAYLOAD];
  while (stream.next()) {
    ssize_t n;
    while ((n = stream.read(block, sizeof block)) > 0) bytes += uint64_t(n);
    if (n < 0) return 0;
  }
  net::buildRequest(s, frame.data(), "WTRM");
  (void)net::sendAndAwait(s, size_t(s.chosen), frame.data(), reply.data(), 1000000, 30);
  return bytes;
}

// A process in the server's namespace; killed by stopServer.
pid_t startInServerSpace(const std::vector<std::string>& command) {
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    std::vector<std::string> full = {"ip", "netns", "exec", kServerSpace};
    full.insert(full.end(), command.begin(), command.end());
    for (std::string& a : full) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execvp("ip", argv.data());
    _exit(127);
  }
  return pid;
}

void stopServer(pid_t pid) {
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

// The ping-pong server: every datagram is answered by a 4096-byte one.
int pingPongServer() {
  const int fd = protocolSocket("qvbs");
  if (fd < 0) return 1;
  uint8_t request[net::FRAME_SIZE], answer[net::FRAME_SIZE] = {};
  for (;;) {
    const ssize_t n = recv(fd, request, sizeof request, 0);
    if (n < ssize_t(net::HEADER_SIZE) || request[net::HEADER_SIZE] != 'R') continue;  // its own answers come back
    memcpy(answer, request, net::HEADER_SIZE);
    (void)sendto(fd, answer, sizeof answer, 0, reinterpret_cast<const sockaddr*>(&kBroadcast), sizeof kBroadcast);
  }
}

// Runs fn(client index) in as many threads at once; its bytes, summed.
template <class Fn>
uint64_t inParallel(int clients, Fn fn) {
  std::atomic<uint64_t> total{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) threads.emplace_back([&, i] { total += fn(i); });
  for (std::thread& t : threads) t.join();
  return total;
}

net::Mac clientMac(int i) { return {0x02, 0, 0, 0, 0x10, uint8_t(i + 1)}; }

void ours(benchmark::State& state) {
  const int clients = int(state.range(0));
  const pid_t server = startInServerSpace({QV_VSERVE, "--interface", "qvbs", "--driver", kDir + "/net-driver.vpk",
                                           kDir + "/net-package.vpk"});
  {
    // Until vserve serves: it checks its packages first. A discovery never
    // gives up, so a server that never comes ends the benchmark.
    alarm(120);
    SimulatedIo io(protocolSocket("qvbc"), clientMac(99));
    if (installOnce(io) == 0) state.SkipWithError("vserve does not serve");
    alarm(0);
  }
  uint64_t bytes = 0;
  for (auto _ : state) {
    const uint64_t got = inParallel(clients, [](int i) {
      SimulatedIo io(protocolSocket("qvbc"), clientMac(i));
      return installOnce(io);
    });
    if (got < uint64_t(clients) * kPackageBytes) {
      state.SkipWithError("a transfer failed");
      break;
    }
    bytes += got;
  }
  stopServer(server);
  state.SetBytesProcessed(int64_t(bytes));
}

void baseline(benchmark::State& state) {
  const int clients = int(state.range(0));
  const pid_t server = fork();
  if (server == 0) {
    const int space = open(("/var/run/netns/" + kServerSpace).c_str(), O_RDONLY);
    _exit(space < 0 || setns(space, CLONE_NEWNET) != 0 ? 1 : pingPongServer());
  }
  const size_t roundTrips = (kPackageBytes + net::MAX_PAYLOAD - 1) / net::MAX_PAYLOAD;
  {
    // Until the server answers: its socket may not be bound yet.
    const int fd = protocolSocket("qvbc");
    uint8_t request[24] = {}, answer[net::FRAME_SIZE];
    memcpy(request + net::HEADER_SIZE, "RETR", 4);
    bool answered = false;
    for (int attempt = 0; !answered; ++attempt) {
      if (attempt == 1200) {
        state.SkipWithError("the ping-pong server does not answer");
        break;
      }
      (void)sendto(fd, request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&kBroadcast), sizeof kBroadcast);
      pollfd p = {fd, POLLIN, 0};
      while (!answered && poll(&p, 1, 100) > 0) answered = recv(fd, answer, sizeof answer, 0) == ssize_t(sizeof answer);
    }
    close(fd);
  }
  uint64_t bytes = 0;
  for (auto _ : state) {
    bytes += inParallel(clients, [roundTrips](int i) -> uint64_t {
      const int fd = protocolSocket("qvbc");
      uint8_t request[24] = {}, answer[net::FRAME_SIZE];
      const net::Mac mac = clientMac(i);
      memcpy(request, mac.data(), 6);
      memcpy(request + net::HEADER_SIZE, "RETR", 4);
      uint64_t got = 0;
      for (size_t k = 0; k < roundTrips; ++k) {
        net::storeLe16(request + net::SEQUENCE_OFFSET, uint16_t(k));
        (void)sendto(fd, request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&kBroadcast),
                     sizeof kBroadcast);
        // Its own answer: others' answers and its own request come back too.
        for (;;) {
          pollfd p = {fd, POLLIN, 0};
          if (poll(&p, 1, 30) <= 0) break;  // lost: the next round trip
          const ssize_t n = recv(fd, answer, sizeof answer, 0);
          if (n == ssize_t(net::FRAME_SIZE) && memcmp(answer, mac.data(), 6) == 0 &&
              net::loadLe16(answer + net::SEQUENCE_OFFSET) == uint16_t(k)) {
            got += net::MAX_PAYLOAD;
            break;
          }
        }
      }
      close(fd);
      return got;
    });
  }
  stopServer(server);
  state.SetBytesProcessed(int64_t(bytes));
}

bool makePackages() {
  std::mt19937 random(7);
  std::string content(kPackageBytes, '\0');
  for (char& c : content) c = char(random());
  const std::string tree = kDir + "/net-tree";
  if (!run("mkdir -p " + tree + "/lib") || !vl::writeTextFile(tree + "/lib/payload.bin", content)) return false;
  for (const std::string name : {"net-driver", "net-package"}) {
    const std::string manifest = kDir + "/" + name + ".manifest";
    if (!vl::writeTextFile(manifest, "name = " + name + "\nversion = 6.49\nbuild-time = 1\nfiles = " + tree + "\n") ||
        !run(std::string(QV_VPKG) + " build " + manifest + " -o " + kDir + "/" + name + ".vpk --key " +
             QV_SOURCE_DIR "/keys/dev-private.key"))
      return false;
  }
  return true;
}

// The two namespaces and their veth pair; the benchmark's own threads then
// live in the client's.
bool makeLink() {
  if (!run("ip netns add " + kServerSpace) || !run("ip netns add " + kClientSpace) ||
      !run("ip netns exec " + kServerSpace + " ip link add qvbs type veth peer name qvbc netns " + kClientSpace) ||
      !run("ip netns exec " + kServerSpace + " ip link set qvbs up") ||
      !run("ip netns exec " + kClientSpace + " ip link set qvbc up"))
    return false;
  const int space = open(("/var/run/netns/" + kClientSpace).c_str(), O_RDONLY);
  return space >= 0 && setns(space, CLONE_NEWNET) == 0;
}

void removeLink() {
  run("ip netns del " + kServerSpace);
  run("ip netns del " + kClientSpace);
}

}  // namespace

BENCHMARK(ours)->Name("net-transfer/ours")->Arg(1)->Arg(4)->Arg(16)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(baseline)->Name("net-transfer/baseline")->Arg(1)->Arg(4)->Arg(16)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

int main(int argc, char** argv) {
  if (geteuid() != 0) {
    fprintf(stderr, "net_bench: network namespaces need root\n");
    return 0;
  }
  if (!makePackages() || !makeLink()) {
    fprintf(stderr, "net_bench: no packages or no veth pair\n");
    removeLink();
    return 1;
  }
  const int status = qvbench::runWithRatios(argc, argv);
  removeLink();
  return status;
}
