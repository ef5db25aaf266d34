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

}  // namespace

TEST(Vserve, ServesTheClientEveryFileByteForByte) {
  if (geteuid() != 0) GTEST_SKIP() << "network namespaces: root only";
  TempDir dir;
  Namespaces spaces;
  const std::string server = spaces.add("qv-server"), client = spaces.add("qv-client");
  ASSERT_FALSE(server.empty());
  ASSERT_FALSE(client.empty());
  ASSERT_EQ(runProgram({"ip", "netns", "exec", server, "ip", "link", "add", "qsa", "type", "veth", "peer", "name",
                        "qsb", "netns", client}).status, 0);
  ASSERT_EQ(runProgram({"ip", "netns", "exec", server, "ip", "link", "set", "qsa", "up"}).status, 0);
  const std::string driver = package(dir, "drivers", "", 5000);
  const std::string ppp = package(dir, "ppp", "depends = system\n", 20000);
  const std::string system = package(dir, "system", "", 300000);  // 74 data frames
  writeFile(dir / "router.scr", "/ip address add 192.0.2.1/24\n");
  qvtest::makeDirs(dir / "got/flash");
  // Each side ends by itself (the server after one installation); the
  // timeouts only end a side that hangs.
  const std::string script =
      "timeout 300 ip netns exec " + server + " " +
      command(QV_VSERVE, {"--interface", "qsa", "--driver", driver, "--machines", "1", "--script", dir / "router.scr",
                          ppp, system}) +
      "> " + dir / "server.log" + " 2>&1 & timeout 300 ip netns exec " + client + " " +
      command(QV_NET_CLIENT, {dir / "got"}) + "> " + dir / "client.log" + " 2>&1; echo $? > " + dir / "client.status" +
      "; wait";
  runProgram({"sh", "-c", script});
  EXPECT_EQ(readFile(dir / "client.status"), "0\n") << readFile(dir / "client.log") << readFile(dir / "server.log");
  EXPECT_TRUE(readFile(dir / "got/driver-drivers.vpk") == readFile(driver));
  EXPECT_TRUE(readFile(dir / "got/system.vpk") == readFile(system));
  EXPECT_TRUE(readFile(dir / "got/ppp.vpk") == readFile(ppp));
  EXPECT_EQ(readFile(dir / "got/flash/router.scr"), "/ip address add 192.0.2.1/24\n");
  EXPECT_EQ(readFile(dir / "got/keep"), "no");
  const std::string log = readFile(dir / "server.log");
  EXPECT_LT(log.find("sending system.vpk"), log.find("sending ppp.vpk")) << log;  // what ppp needs comes first
  EXPECT_NE(log.find("installation ended"), std::string::npos) << log;
  EXPECT_NE(readFile(dir / "client.log").find("Software installed."), std::string::npos);
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
