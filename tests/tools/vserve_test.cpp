// The installation server against the real client session, each in a network
// namespace made by the test and joined by a veth pair (nothing reaches the
// host's interfaces): files arrive byte for byte, in dependency order, with
// the script and the keep answer; and what the server refuses to serve.
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>

#include "tests/support/process.h"
#include "tests/support/sandbox.h"

using qvtest::ProcessResult;
using qvtest::readFile;
using qvtest::runProgram;
using qvtest::TempDir;
using qvtest::writeFile;

namespace {

const std::string kDevKey = QV_SOURCE_DIR "/keys/dev-private.key";

std::string command(const std::string& program, const std::vector<std::string>& arguments) {
  std::string line;
  for (const std::string& a : qvtest::ownProgram(program, arguments)) line += "'" + a + "' ";
  return line;
}

std::string package(const TempDir& dir, const std::string& name, const std::string& extra, size_t bytes) {
  std::mt19937 random{uint32_t(bytes)};
  std::string content(bytes, '\0');
  for (char& c : content) c = char(random());
  writeFile(dir / ("tree-" + name + "/lib/" + name + ".bin"), content);
  writeFile(dir / (name + ".manifest"), "name = " + name + "\nversion = 6.49.21\nbuild-time = 1700000000\nfiles = " +
                                            dir / ("tree-" + name) + "\n" + extra);
  EXPECT_EQ(runProgram(qvtest::ownProgram(QV_VPKG, {"build", dir / (name + ".manifest"), "-o", dir / (name + ".vpk"),
                                                     "--key", kDevKey}))
                .status,
            0);
  return dir / (name + ".vpk");
}

// Named network namespaces, deleted with their veth ends when the test ends.
class Namespaces {
 public:
  ~Namespaces() {
    for (const std::string& n : names_) runProgram({"ip", "netns", "del", n});
  }
  std::string add(const std::string& base) {
    const std::string name = base + "-" + std::to_string(getpid());
    runProgram({"ip", "netns", "del", name});
    if (runProgram({"ip", "netns", "add", name}).status != 0) return "";
    names_.push_back(name);
    return name;
  }

 private:
  std::vector<std::string> names_;
};

const std::string kServerMac = "02:00:00:00:00:99";

// One Ethernet segment made of namespaces: the server's, with a bridge of a
// known MAC, and one per machine, joined to the bridge by a veth pair whose
// end in the machine ("eth0") has the machine's MAC.
class Segment {
 public:
  Segment() {
    server_ = spaces_.add("qv-srv");
    ok_ = !server_.empty() && in(server_, {"ip", "link", "add", "qvbr", "address", kServerMac, "type", "bridge"}) &&
          in(server_, {"ip", "link", "set", "qvbr", "up"});
  }
  bool ok() const { return ok_; }
  const std::string& server() const { return server_; }
  // The namespace of a new machine, "" when it cannot be made.
  std::string machine(const std::string& mac) {
    const std::string port = "qvp" + std::to_string(++machines_);
    const std::string space = spaces_.add("qv-m" + std::to_string(machines_));
    const bool made = !space.empty() &&
                      in(server_, {"ip", "link", "add", port, "type", "veth", "peer", "name", "eth0", "netns", space}) &&
                      in(space, {"ip", "link", "set", "eth0", "address", mac, "up"}) &&
                      in(server_, {"ip", "link", "set", port, "master", "qvbr", "up"});
    return made ? space : "";
  }
  // "ip netns exec SPACE" before a command line.
  static std::string exec(const std::string& space) { return "ip netns exec " + space + " "; }

 private:
  static bool in(const std::string& space, std::vector<std::string> command) {
    command.insert(command.begin(), {"ip", "netns", "exec", space});
    return runProgram(command).status == 0;
  }
  Namespaces spaces_;
  std::string server_;
  int machines_ = 0;
  bool ok_ = false;
};

struct Served {
  std::string driver, ppp, system;
};

Served servedPackages(const TempDir& dir) {
  return {package(dir, "drivers", "", 5000), package(dir, "ppp", "depends = system\n", 20000),
          package(dir, "system", "", 1000000)};  // 246 data frames
}

// The line of the server's summary for one machine.
std::string summaryOf(const std::string& log, const std::string& mac) {
  for (size_t at = log.find(mac); at != std::string::npos; at = log.find(mac, at + 1)) {
    const std::string line = log.substr(at, log.find('\n', at) - at);
    if (line.find(" retransmissions, ") != std::string::npos) return line;
  }
  return "";
}

// A machine's received files are the served ones, byte for byte.
void expectInstalled(const TempDir& dir, const std::string& got, const Served& p) {
  EXPECT_EQ(readFile(dir / (got + ".status")), "0\n") << readFile(dir / (got + ".log")) << readFile(dir / "server.log");
  EXPECT_TRUE(readFile(dir / (got + "/driver-drivers.vpk")) == readFile(p.driver)) << got;
  EXPECT_TRUE(readFile(dir / (got + "/system.vpk")) == readFile(p.system)) << got;
  EXPECT_TRUE(readFile(dir / (got + "/ppp.vpk")) == readFile(p.ppp)) << got;
  EXPECT_NE(readFile(dir / (got + ".log")).find("Software installed."), std::string::npos) << got;
}

// The shell line that runs a client in its namespace, its output in
// DIR/GOT.log and its status in DIR/GOT.status; the timeout only ends one
// that hangs.
std::string client(const TempDir& dir, const std::string& space, const std::string& got,
                   std::vector<std::string> options = {}) {
  qvtest::makeDirs(dir / (got + "/flash"));
  options.push_back(dir / got);
  return "(timeout 300 " + Segment::exec(space) + command(QV_NET_CLIENT, options) + "> " + dir / (got + ".log") +
         " 2>&1; echo $? > " + dir / (got + ".status") + ")";
}

// The shell line that runs vserve in the segment's server namespace in the
// background, its output in DIR/server.log.
std::string server(const TempDir& dir, const Segment& segment, std::vector<std::string> options) {
  options.insert(options.begin(), {"--interface", "qvbr"});
  return "timeout 300 " + Segment::exec(segment.server()) + command(QV_VSERVE, options) + "> " + dir / "server.log" +
         " 2>&1 & ";
}

}  // namespace

TEST(Vserve, ServesTheClientEveryFileByteForByte) {
  if (geteuid() != 0) GTEST_SKIP() << "network namespaces: root only";
  TempDir dir;
  Segment segment;
  ASSERT_TRUE(segment.ok());
  const std::string machine = segment.machine("02:00:00:00:01:01");
  ASSERT_FALSE(machine.empty());
  const Served p = servedPackages(dir);
  writeFile(dir / "router.scr", "/ip address add 192.0.2.1/24\n");
  // Each side ends by itself (the server after one installation).
  runProgram({"sh", "-c",
              server(dir, segment, {"--driver", p.driver, "--machines", "1", "--script", dir / "router.scr", "--log",
                                    dir / "exchanges.log", p.ppp, p.system}) +
                  client(dir, machine, "got") + "; wait"});
  expectInstalled(dir, "got", p);
  EXPECT_EQ(readFile(dir / "got/flash/router.scr"), "/ip address add 192.0.2.1/24\n");
  EXPECT_EQ(readFile(dir / "got/keep"), "no");
  const std::string log = readFile(dir / "server.log");
  EXPECT_LT(log.find("sending system.vpk"), log.find("sending ppp.vpk")) << log;  // what ppp needs comes first
  EXPECT_NE(log.find("02:00:00:00:01:01 installation ended"), std::string::npos) << log;
  EXPECT_NE(log.find("02:00:00:00:01:01 Korvanet: done, 3 files, 1.0 MB, "), std::string::npos) << log;
  const std::string exchanges = readFile(dir / "exchanges.log");
  EXPECT_NE(exchanges.find(" DSCV 02:00:00:00:01:01>00:00:00:00:00:00 1/0 "), std::string::npos) << exchanges;
  EXPECT_NE(exchanges.find(" WTRM 02:00:00:00:01:01>02:00:00:00:00:99 "), std::string::npos);
  EXPECT_NE(exchanges.find("-> TERM 02:00:00:00:00:99>02:00:00:00:01:01 "), std::string::npos);
}

// A tenth of the frames lost each way, a twentieth duplicated, some
// reordered: the same bytes arrive, the retransmissions are counted.
TEST(Vserve, ServesEveryFileByteForByteOverALossyLink) {
  if (geteuid() != 0) GTEST_SKIP() << "network namespaces: root only";
  TempDir dir;
  Segment segment;
  ASSERT_TRUE(segment.ok());
  const std::string machine = segment.machine("02:00:00:00:01:01");
  ASSERT_FALSE(machine.empty());
  const Served p = servedPackages(dir);
  runProgram({"sh", "-c",
              server(dir, segment, {"--driver", p.driver, "--once", p.ppp, p.system}) +
                  client(dir, machine, "got", {"--spoil"}) + "; wait"});
  expectInstalled(dir, "got", p);
  const std::string log = readFile(dir / "got.log");
  unsigned lost = 0, duplicated = 0, reordered = 0;
  ASSERT_EQ(sscanf(log.c_str() + log.find("spoiled: "), "spoiled: %u lost, %u duplicated, %u reordered", &lost,
                   &duplicated, &reordered),
            3)
      << log;
  EXPECT_GT(lost, 40u);
  EXPECT_GT(duplicated, 20u);
  EXPECT_GT(reordered, 10u);
  EXPECT_EQ(readFile(dir / "server.log").find(" 0 retransmissions"), std::string::npos) << readFile(dir / "server.log");
}

// Two honest machines, each with its own script, keep installing while a
// third floods the segment with malformed frames and frames in their names.
TEST(Vserve, TwoMachinesInstallWhileAThirdFloodsTheSegment) {
  if (geteuid() != 0) GTEST_SKIP() << "network namespaces: root only";
  TempDir dir;
  Segment segment;
  ASSERT_TRUE(segment.ok());
  const std::string first = segment.machine("02:00:00:00:01:01"), second = segment.machine("02:00:00:00:01:02"),
                    hostile = segment.machine("02:00:00:00:0b:ad");
  ASSERT_FALSE(first.empty() || second.empty() || hostile.empty());
  const Served p = servedPackages(dir);
  writeFile(dir / "one/a.scr", "/system identity set name=one\n");
  writeFile(dir / "two/b.scr", "/system identity set name=two\n");
  const std::string script =
      "timeout 300 " + Segment::exec(hostile) +
      command(QV_NET_FLOOD, {"eth0", kServerMac, "02:00:00:00:01:01", "02:00:00:00:01:02"}) +
      "> /dev/null 2>&1 & flood=$!; " +
      server(dir, segment, {"--driver", p.driver, "--machines", "2", "--machine", "02:00:00:00:01:01=" + dir / "one",
                            "--machine", "02:00:00:00:01:02=" + dir / "two", "--log", dir / "exchanges.log", p.ppp,
                            p.system}) +
      "server=$!; " +
      // The honest machines start once the flood reaches the server: a DSCV
      // in the first one's name before it runs can only be the flood's.
      "timeout 300 sh -c \"until grep -q 'DSCV 02:00:00:00:01:01' '" + dir / "exchanges.log" +
      "' 2>/dev/null; do sleep 0.1; done\"; " +
      client(dir, first, "got1") + " & one=$!; " +
      client(dir, second, "got2") + " & two=$!; wait $one $two $server; kill $flood; wait";
  runProgram({"sh", "-c", script});
  expectInstalled(dir, "got1", p);
  expectInstalled(dir, "got2", p);
  EXPECT_EQ(readFile(dir / "got1/flash/a.scr"), "/system identity set name=one\n");
  EXPECT_EQ(readFile(dir / "got2/flash/b.scr"), "/system identity set name=two\n");
  const std::string log = readFile(dir / "server.log");
  // (The flood may have given either one its label.)
  EXPECT_NE(summaryOf(log, "02:00:00:00:01:01").find(": done, 3 files, 1.0 MB, "), std::string::npos) << log;
  EXPECT_NE(summaryOf(log, "02:00:00:00:01:02").find(": done, 3 files, 1.0 MB, "), std::string::npos) << log;
}

TEST(Vserve, RefusesToStartWithoutItsInterfaceOrWithABadPackage) {
  TempDir dir;
  const std::string driver = package(dir, "drivers", "", 100);
  const std::string good = package(dir, "system", "", 100);
  std::string bytes = readFile(good);
  bytes[bytes.size() - 200] ^= 1;
  writeFile(dir / "bad.vpk", bytes);
  ProcessResult r = runProgram(qvtest::ownProgram(QV_VSERVE, {"--driver", driver, good}));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("vserve: --interface IFACE is required"), std::string::npos) << r.err;
  r = runProgram(qvtest::ownProgram(QV_VSERVE, {"--interface", "lo", "--driver", driver, dir / "bad.vpk"}));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("vserve: " + dir / "bad.vpk" + ": system-6.49.21: its signature does not verify"),
            std::string::npos)
      << r.err;
}
