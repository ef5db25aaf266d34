// The exchanges of the network installation against a fake network and clock:
// the discovery cycles, the server search, retransmissions and the transfer
// of files, with every wait run in virtual microseconds.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <functional>

#include "init/net/exchange.h"
#include "tests/init/fake_net.h"

using net::Mac;
using namespace qvtest;

namespace {

std::string readAll(net::NetFileStream& stream) {
  std::string out;
  uint8_t block[4096];
  for (ssize_t n; (n = stream.read(block, sizeof block)) > 0;) out.append(reinterpret_cast<char*>(block), size_t(n));
  return out;
}

}  // namespace

TEST(NetExchange, DiscoveryCyclesOnceASecondAndRebuildsEverySixtieth) {
  FakeNet fake;
  fake.macs = {kClient, kSecondCard};
  fake.inbox.resize(2);
  // Our own broadcast comes back on the other card: never an answer.
  fake.server = [&](size_t i, const std::string& f) { fake.inbox[1 - i].push_back(f); };
  net::NetSession s(fake);
  net::Frame reply{};
  for (int cycle = 1; cycle <= 120; ++cycle) {
    const uint64_t start = fake.clock;
    net::Frame frame{};
    memcpy(frame.data() + net::HEADER_SIZE, "DRVR\nx", 7);
    net::broadcastFrame(s, frame.data(), 7);
    EXPECT_FALSE(net::awaitMessage(s, reply.data(), "OFDR"));
    EXPECT_EQ(fake.clock - start, 1000000u) << cycle;
  }
  EXPECT_EQ(fake.rebuilds, 2);
  ASSERT_EQ(fake.sent.size(), 240u);
  for (size_t k = 0; k < 2; ++k) {
    const net::FrameHeader h = net::readHeader(reinterpret_cast<const uint8_t*>(fake.sent[k].second.data()));
    EXPECT_EQ(h.source, fake.macs[k]);
    EXPECT_EQ(h.destination, Mac{});
    EXPECT_EQ(h.sequence, 1);
    EXPECT_EQ(h.acknowledgement, 0);
  }
}

TEST(NetExchange, ServerSearchTakesOffersAsTheyMayBe) {
  struct Case {
    const char* name;
    std::vector<std::string> offers;  // one answer per DSCV
    size_t discoveries;
    bool keep;
  } cases[] = {
      {"an offer with keep", {"OFFR\nopaque\nkeep\n"}, 1, true},
      {"keep without its newline", {"OFFR\nopaque\nkeep"}, 1, false},
      {"a line 2 of 513 characters is ignored, then one of 512 taken",
       {"OFFR\n" + std::string(513, 'a') + "\n", "OFFR\n" + std::string(512, 'a') + "\n"}, 2, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeNet fake;
    FakeServer server;
    server.attach(fake);
    size_t discovery = 0;
    auto handle = fake.server;
    fake.server = [&](size_t i, const std::string& f) {
      if (typeOf(f) == "DSCV") server.offer = c.offers[std::min(discovery++, c.offers.size() - 1)];
      handle(i, f);
    };
    net::NetSession s(fake);
    net::discoverServer(s, "Korvanet", "0.0");
    EXPECT_EQ(size_t(fake.count("DSCV")), c.discoveries);
    EXPECT_EQ(s.keep, c.keep);
    EXPECT_EQ(s.chosen, 0);
    EXPECT_EQ(s.link.peer, kServer);
    EXPECT_EQ(s.line2.size(), c.offers.back().find('\n', 5) - 5);
  }
}

TEST(NetExchange, FiveLostYacksStartDiscoveryOver) {
  FakeNet fake;
  FakeServer server;
  server.yacksToIgnore = 5;
  server.offer = "OFFR\nfirst\n";
  server.attach(fake);
  net::NetSession s(fake);
  const uint64_t start = fake.clock;
  net::discoverServer(s, "Korvanet", "0.0");
  EXPECT_EQ(fake.count("DSCV"), 2);
  EXPECT_EQ(fake.count("YACK"), 6);
  EXPECT_EQ(fake.clock - start, 5u * 1000000u);  // five waits of a second, then the new search is answered at once
  // The second discovery sends the first offer's line 2 back.
  std::string second;
  for (const auto& [i, f] : fake.sent)
    if (typeOf(f) == "DSCV") second = payloadOf(f);
  EXPECT_EQ(second.substr(0, 11), "DSCV\nfirst\n");
}

TEST(NetExchange, FilesArriveWholeAndTheListEnds) {
  FakeNet fake;
  FakeServer server;
  std::string big(10000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 7);
  server.files = {{"system.vpk", big}, {"empty.scr", ""}};
  server.attach(fake);
  net::NetSession s(fake);
  net::discoverServer(s, "Korvanet", "0.0");
  net::NetFileStream first(s);
  ASSERT_TRUE(first.next());
  EXPECT_EQ(first.name(), "system.vpk");
  EXPECT_EQ(first.size(), 10000);
  EXPECT_TRUE(readAll(first) == big);
  net::NetFileStream second(s);
  ASSERT_TRUE(second.next());
  EXPECT_EQ(second.size(), 0);
  EXPECT_EQ(readAll(second), "");
  net::NetFileStream end(s);
  EXPECT_FALSE(end.next());  // "DONE" is not a FILE
}

TEST(NetExchange, StaleAnswersAreIgnoredAndTheRequestResent) {
  FakeNet fake;
  FakeServer server;
  server.files = {{"a.vpk", "abc"}};
  server.attach(fake);
  net::NetSession s(fake);
  net::discoverServer(s, "Korvanet", "0.0");
  // The first RETR is answered by a repeat of the YACK's answer (an old sequence).
  auto honest = fake.server;
  bool staled = false;
  fake.server = [&](size_t i, const std::string& f) {
    if (!staled && typeOf(f) == "RETR") {
      staled = true;
      fake.inbox[i].push_back(server.lastAnswer);
      return;
    }
    honest(i, f);
  };
  const uint64_t start = fake.clock;
  net::NetFileStream stream(s);
  ASSERT_TRUE(stream.next());
  EXPECT_EQ(fake.count("RETR"), 2);
  EXPECT_EQ(fake.clock - start, 20000u);  // one wait of 20 ms, then the resend
  EXPECT_EQ(readAll(stream), "abc");
}

TEST(NetExchange, AnnouncementsAndEndsOfFiles) {
  struct Case {
    const char* name;
    std::vector<std::string> answers;  // to the RETRs in turn
    bool announced;
    std::string content;
  } cases[] = {
      {"a negative size", {"FILE\nx\n-1\n"}, false, ""},
      {"size 0", {"FILE\nx\n0\n", ""}, true, ""},
      {"an empty data frame ends the file early", {"FILE\nx\n10000\n", "hello", ""}, true, "hello"},
      {"no newline after the size", {"FILE\nx\n5"}, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeNet fake;
    FakeServer server;
    server.attach(fake);
    net::NetSession s(fake);
    net::discoverServer(s, "Korvanet", "0.0");
    size_t k = 0;
    fake.server = [&](size_t i, const std::string& f) {
      if (k < c.answers.size()) fake.inbox[i].push_back(server.answer(c.answers[k++], sequenceOf(f)));
    };
    net::NetFileStream stream(s);
    ASSERT_EQ(stream.next(), c.announced);
    if (c.announced) {
      EXPECT_EQ(readAll(stream), c.content);
    }
  }
}

TEST(NetExchange, NothingIsAcceptedAfter65535Frames) {
  FakeNet fake;
  FakeServer server;
  server.files = {{"big.vpk", std::string(3 * net::MAX_PAYLOAD, 'x')}};
  server.attach(fake);
  net::NetSession s(fake);
  net::discoverServer(s, "Korvanet", "0.0");
  net::NetFileStream stream(s);
  ASSERT_TRUE(stream.next());
  // Far into a run: the server's numbering and the link's agree at 65,534.
  s.link.received = s.link.sent = 65534;
  server.sequence = 65534;
  server.lastRequest = 0;
  uint8_t block[4096];
  EXPECT_EQ(stream.read(block, sizeof block), ssize_t(net::MAX_PAYLOAD));  // frame 65,535
  const size_t sentBefore = fake.sent.size();
  const uint64_t start = fake.clock;
  EXPECT_EQ(stream.read(block, sizeof block), -1);
  EXPECT_EQ(fake.sent.size() - sentBefore, 300u);
  EXPECT_EQ(fake.clock - start, 300u * 30000u);
}
