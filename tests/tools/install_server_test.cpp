// The installation server's protocol engine, frame by frame: the numbering
// its answers carry, a repeated request answered with the same bytes, late
// duplicates ignored, WTRM answered whatever it knows, one state per client.
#include <gtest/gtest.h>

#include <cstring>

#include "init/net/frame.h"
#include "tools/vserve/install_server.h"

using net::Mac;

namespace {

const Mac kServer = {0x02, 0, 0, 0, 0, 0x99};
const Mac kA = {0x02, 0, 0, 0, 0, 0x0A};
const Mac kB = {0x02, 0, 0, 0, 0, 0x0B};

std::string request(const Mac& from, const Mac& to, uint16_t sequence, uint16_t acknowledgement,
                    const std::string& payload) {
  std::string f(net::HEADER_SIZE, '\0');
  auto* p = reinterpret_cast<uint8_t*>(f.data());
  memcpy(p, from.data(), 6);
  memcpy(p + 6, to.data(), 6);
  net::storeLe16(p + 14, uint16_t(payload.size()));
  net::storeLe16(p + 16, sequence);
  net::storeLe16(p + 18, acknowledgement);
  return f + payload;
}

struct Answer {
  bool none = true;
  Mac destination{};
  uint16_t sequence = 0, acknowledgement = 0;
  std::string payload;
};

class ServerUnderTest {
 public:
  ServerUnderTest()
      : server_(
            kServer, {"drv.vpk", std::make_shared<const std::string>("D")},
            [this](const Mac&) -> const vserve::MachinePlan& { return plan_; },
            [this](const Mac& m, vserve::Event e, const std::string&) { events.push_back({m, e}); }) {
    plan_.files = {{"system.vpk", std::make_shared<const std::string>(std::string(5000, 's'))}};
  }
  std::string raw(const std::string& frame) {
    return server_.handle(reinterpret_cast<const uint8_t*>(frame.data()), ssize_t(frame.size()), clock += 1000);
  }
  const vserve::InstallServer& server() const { return server_; }
  std::vector<std::pair<Mac, vserve::Event>> events;
  uint64_t clock = 1000000;
  Answer send(const std::string& frame) {
    const std::string a = raw(frame);
    Answer out;
    if (a.empty()) return out;
    const net::FrameHeader h = net::readHeader(reinterpret_cast<const uint8_t*>(a.data()));
    out = {false, h.destination, h.sequence, h.acknowledgement, a.substr(net::HEADER_SIZE)};
    return out;
  }

 private:
  vserve::MachinePlan plan_;
  vserve::InstallServer server_;
};

}  // namespace

TEST(InstallServer, AnswersAsTheClientAcceptsThem) {
  ServerUnderTest s;
  Answer a = s.send(request(kA, {}, 1, 0, std::string("DSCV\n\n\nK\ni386\n0.0\n6.49.21\n") + std::string(1, '\0')));
  EXPECT_EQ(a.payload, "OFFR\n\n");
  EXPECT_EQ(a.destination, kA);
  EXPECT_EQ(a.sequence, 1);
  EXPECT_EQ(a.acknowledgement, 0);
  a = s.send(request(kA, kServer, 1, 1, "YACK\n"));
  EXPECT_EQ(a.sequence, 2);
  EXPECT_EQ(a.acknowledgement, 1);
  a = s.send(request(kA, kServer, 2, 2, "STRT"));
  EXPECT_EQ(a.sequence, 3);
  a = s.send(request(kA, kServer, 3, 3, "RETR"));
  EXPECT_EQ(a.payload, "FILE\nsystem.vpk\n5000\n");
  EXPECT_EQ(s.send(request(kA, kServer, 4, 4, "RETR")).payload.size(), net::MAX_PAYLOAD);
  EXPECT_EQ(s.send(request(kA, kServer, 5, 5, "RETR")).payload.size(), 5000 - net::MAX_PAYLOAD);
  EXPECT_EQ(s.send(request(kA, kServer, 6, 6, "RETR")).payload, "");  // the end of the file
  EXPECT_EQ(s.send(request(kA, kServer, 7, 7, "RETR")).payload, "DONE");  // the end of the list
  a = s.send(request(kA, kServer, 8, 8, "WTRM"));
  EXPECT_EQ(a.payload, "TERM");
  EXPECT_EQ(a.sequence, 9);
}

TEST(InstallServer, RepeatsAndLateDuplicates) {
  ServerUnderTest s;
  s.send(request(kA, {}, 1, 0, "DSCV\n"));
  const std::string yackAnswer = s.raw(request(kA, kServer, 1, 1, "YACK\n"));
  EXPECT_EQ(s.raw(request(kA, kServer, 1, 1, "YACK\n")), yackAnswer);  // its answer was lost: the same bytes
  s.send(request(kA, kServer, 2, 2, "STRT"));
  const std::string file = s.raw(request(kA, kServer, 3, 3, "RETR"));
  EXPECT_EQ(s.raw(request(kA, kServer, 3, 3, "RETR")), file);  // the file list does not move on
  EXPECT_TRUE(s.send(request(kA, kServer, 1, 1, "YACK\n")).none);  // a late duplicate restarts nothing
  EXPECT_TRUE(s.send(request(kA, kServer, 9, 4, "RETR")).none);    // from the future
  EXPECT_TRUE(s.send(request(kA, kB, 4, 4, "RETR")).none);
  EXPECT_EQ(s.send(request(kA, kServer, 4, 4, "RETR")).payload.size(), net::MAX_PAYLOAD);
  // A new discovery starts the phase again.
  EXPECT_EQ(s.send(request(kA, {}, 1, 0, "DSCV\n")).sequence, 1);
  EXPECT_EQ(s.send(request(kA, kServer, 1, 1, "YACK\n")).sequence, 2);
}

TEST(InstallServer, OneStatePerClientAndWtrmAlwaysAnswered) {
  ServerUnderTest s;
  EXPECT_EQ(s.send(request(kA, {}, 1, 0, "DRVR\nx")).payload, "OFDR");
  s.send(request(kB, {}, 1, 0, "DSCV\n"));
  EXPECT_EQ(s.send(request(kA, kServer, 1, 1, "RETR")).payload, "FILE\ndrv.vpk\n1\n");
  EXPECT_EQ(s.send(request(kB, kServer, 1, 1, "YACK\n")).sequence, 2);
  EXPECT_EQ(s.send(request(kA, kServer, 2, 2, "RETR")).payload, "D");
  // A client the server never saw (it was restarted) still gets its TERM.
  const Mac stranger = {0x02, 0, 0, 0, 0, 0x77};
  const Answer a = s.send(request(stranger, kServer, 40, 39, "WTRM"));
  EXPECT_EQ(a.payload, "TERM");
  EXPECT_EQ(a.sequence, 40);
  EXPECT_EQ(a.acknowledgement, 40);
  EXPECT_TRUE(s.send(request(kServer, {}, 1, 0, "DSCV\n")).none);  // its own broadcast, come back
  EXPECT_TRUE(s.send(request(kA, {}, 1, 0, "DSC")).none);
}

namespace {

// A at the middle of its first file: offered, YACK, STRT, FILE, one data frame.
void startTransfer(ServerUnderTest& s, const std::string& discovery) {
  s.send(request(kA, {}, 1, 0, discovery));
  s.send(request(kA, kServer, 1, 1, "YACK\n"));
  s.send(request(kA, kServer, 2, 2, "STRT"));
  s.send(request(kA, kServer, 3, 3, "RETR"));
  s.send(request(kA, kServer, 4, 4, "RETR"));
}

}  // namespace

TEST(InstallServer, FramesClaimingAMachinesMacNeverBreakItsTransfer) {
  ServerUnderTest s;
  startTransfer(s, "DSCV\n");
  // Another machine on the segment sends in A's name: a discovery (answered
  // as a possible new start), a driver request, a WTRM, numbers out of line.
  EXPECT_EQ(s.send(request(kA, {}, 1, 0, "DSCV\n")).payload, "OFFR\n\n");
  EXPECT_EQ(s.send(request(kA, {}, 1, 0, "DRVR\nx")).payload, "OFDR");
  EXPECT_EQ(s.send(request(kA, kServer, 500, 499, "WTRM")).payload, "TERM");
  EXPECT_TRUE(s.send(request(kA, kServer, 77, 3, "RETR")).none);
  EXPECT_TRUE(s.send(request(kA, kServer, 5, 5, "HELO")).none);
  // A goes on where it was.
  const Answer a = s.send(request(kA, kServer, 5, 5, "RETR"));
  EXPECT_EQ(a.sequence, 6);
  EXPECT_EQ(a.payload, std::string(5000 - net::MAX_PAYLOAD, 's'));
  for (const auto& [mac, e] : s.events) EXPECT_NE(e, vserve::Event::FINISHED);
}

TEST(InstallServer, AnInstallationEndsOnceAtTheWtrmAfterTheWholeList) {
  ServerUnderTest s;
  startTransfer(s, std::string("DSCV\n\n\nRouter-7 \x1b[2J\ni386\n0.0\n6.49.21\n") + std::string(1, '\0'));
  auto finished = [&] {
    return std::count_if(s.events.begin(), s.events.end(),
                         [](const auto& e) { return e.second == vserve::Event::FINISHED; });
  };
  EXPECT_EQ(s.send(request(kA, kServer, 5, 5, "WTRM")).payload, "TERM");  // too early: answered, not counted
  EXPECT_EQ(finished(), 0);
  s.send(request(kA, kServer, 5, 5, "RETR"));
  s.send(request(kA, kServer, 5, 5, "RETR"));  // its answer was lost
  s.send(request(kA, kServer, 6, 6, "RETR"));
  EXPECT_EQ(s.send(request(kA, kServer, 7, 7, "RETR")).payload, "DONE");
  const std::string term = s.raw(request(kA, kServer, 8, 8, "WTRM"));
  EXPECT_EQ(s.raw(request(kA, kServer, 8, 8, "WTRM")), term);
  EXPECT_EQ(finished(), 1);
  const vserve::Progress* p = s.server().progress(kA);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->label, "Router-7[2J");  // blanks and control bytes never reach the operator's screen
  EXPECT_EQ(p->bytes, 5000u);
  EXPECT_EQ(p->files, 1u);
  EXPECT_EQ(p->retransmissions, 1u);
  EXPECT_TRUE(p->finished);
}

// Invented machines that only ask, and ones that also follow their offer
// with the first request (two frames each): A, silent (it might be
// formatting), keeps its place.
TEST(InstallServer, AFloodOfInventedMacsNeverPushesOutAMachineBeingServed) {
  const struct {
    const char* discovery;
    const char* first;  // nullptr: none
  } floods[] = {{"DSCV\n", nullptr}, {"DRVR\nx", "RETR"}, {"DSCV\n", "YACK\n"}};
  for (const auto& flood : floods) {
    ServerUnderTest s;
    startTransfer(s, "DSCV\n");
    for (uint32_t i = 0; i < 20000; ++i) {
      const Mac invented = {0x06, 0, uint8_t(i >> 16), uint8_t(i >> 8), uint8_t(i), 1};
      s.send(request(invented, {}, 1, 0, flood.discovery));
      if (flood.first) s.send(request(invented, kServer, 1, 1, flood.first));
    }
    EXPECT_LE(s.server().clients(), vserve::MAX_CLIENTS) << flood.discovery;
    EXPECT_EQ(s.send(request(kA, kServer, 5, 5, "RETR")).sequence, 6) << flood.discovery;
  }
}

// Both phases start with sequence 1, acknowledgement 0: the type of the
// first request tells a driver transfer from an installation.
TEST(InstallServer, AClaimedDiscoveryAroundADriverRequestTakesNothingFromIt) {
  for (const bool claimFirst : {true, false}) {
    ServerUnderTest s;
    if (claimFirst) s.send(request(kA, {}, 1, 0, "DSCV\n"));
    EXPECT_EQ(s.send(request(kA, {}, 1, 0, "DRVR\nx")).payload, "OFDR");
    if (!claimFirst) s.send(request(kA, {}, 1, 0, "DSCV\n"));
    EXPECT_EQ(s.send(request(kA, kServer, 1, 1, "RETR")).payload, "FILE\ndrv.vpk\n1\n") << claimFirst;
    EXPECT_EQ(s.send(request(kA, kServer, 2, 2, "RETR")).payload, "D") << claimFirst;
  }
}

// A's driver offer waits beside a claimed installation offer; a second
// claim renews that one and leaves the driver offer A is about to follow.
TEST(InstallServer, ARenewedClaimLeavesTheOfferAMachineIsAboutToFollow) {
  ServerUnderTest s;
  s.send(request(kA, {}, 1, 0, "DSCV\n"));
  EXPECT_EQ(s.send(request(kA, {}, 1, 0, "DRVR\nx")).payload, "OFDR");
  s.send(request(kA, {}, 1, 0, "DSCV\n"));
  EXPECT_EQ(s.send(request(kA, kServer, 1, 1, "RETR")).payload, "FILE\ndrv.vpk\n1\n");
}
