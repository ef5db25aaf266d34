// The exchanges of the network installation against a fake network and clock:
// the discovery cycles, the server search, retransmissions and the transfer
// of files, with every wait run in virtual microseconds.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <functional>

#include "init/net/exchange.h"

using net::Mac;

namespace {

const Mac kClient = {0x02, 0, 0, 0, 0, 0x01};
const Mac kSecondCard = {0x02, 0, 0, 0, 0, 0x02};
const Mac kServer = {0x02, 0, 0, 0, 0, 0x99};

std::string frameOf(const Mac& source, const Mac& destination, uint16_t sequence, uint16_t acknowledgement,
                    const std::string& payload) {
  std::string f(net::HEADER_SIZE, '\0');
  memcpy(f.data(), source.data(), 6);
  memcpy(f.data() + 6, destination.data(), 6);
  net::storeLe16(reinterpret_cast<uint8_t*>(f.data()) + 14, uint16_t(payload.size()));
  net::storeLe16(reinterpret_cast<uint8_t*>(f.data()) + 16, sequence);
  net::storeLe16(reinterpret_cast<uint8_t*>(f.data()) + 18, acknowledgement);
  return f + payload;
}

std::string payloadOf(const std::string& frame) { return frame.substr(net::HEADER_SIZE); }
std::string typeOf(const std::string& frame) { return frame.substr(net::HEADER_SIZE, 4); }
uint16_t sequenceOf(const std::string& frame) { return net::loadLe16(reinterpret_cast<const uint8_t*>(frame.data()) + 16); }

// Interfaces whose datagrams a test queues; a wait on an empty queue spends
// its whole timeout at once.
class FakeNet final : public net::NetIo {
 public:
  std::vector<Mac> macs = {kClient};
  std::vector<std::deque<std::string>> inbox = std::vector<std::deque<std::string>>(1);
  std::vector<std::pair<size_t, std::string>> sent;
  std::function<void(size_t, const std::string&)> server;  // sees every frame sent
  uint64_t clock = 5000000;
  int rebuilds = 0;

  size_t interfaceCount() const override { return macs.size(); }
  Mac mac(size_t i) const override { return macs[i]; }
  ssize_t send(size_t i, const uint8_t* frame, size_t n) override {
    sent.push_back({i, std::string(reinterpret_cast<const char*>(frame), n)});
    if (server) server(i, sent.back().second);
    return ssize_t(n);
  }
  ssize_t receive(size_t i, uint8_t* buffer) override {
    if (inbox[i].empty()) return -1;
    const std::string d = inbox[i].front();
    inbox[i].pop_front();
    memcpy(buffer, d.data(), std::min(d.size(), net::FRAME_SIZE));
    return ssize_t(std::min(d.size(), net::FRAME_SIZE));
  }
  net::Readiness wait(const std::vector<size_t>& interfaces, bool, uint64_t timeout) override {
    net::Readiness r;
    for (size_t i : interfaces)
      if (!inbox[i].empty()) r.readable.push_back(i);
    if (r.readable.empty()) {
      clock += timeout;
      r.timedOut = true;
    }
    return r;
  }
  uint64_t now() override { return clock; }
  void rebuild() override { ++rebuilds; }

  int count(const std::string& type) const {
    int n = 0;
    for (const auto& [i, f] : sent) n += typeOf(f) == type;
    return n;
  }
};

// A server that follows the protocol: OFFR to DSCV, an answer to YACK and
// STRT, FILE and data frames to RETR, a repeated request answered again.
struct FakeServer {
  std::string offer = "OFFR\n\n";
  int yacksToIgnore = 0;
  std::vector<std::pair<std::string, std::string>> files;  // name, content
  size_t file = 0, offset = 0;
  bool inFile = false;
  uint16_t sequence = 0, lastRequest = 0;
  std::string lastAnswer;

  void attach(FakeNet& net) {
    net.server = [this, &net](size_t i, const std::string& f) {
      const std::string answer = handle(f);
      if (!answer.empty()) net.inbox[i].push_back(answer);
    };
  }
  std::string answer(const std::string& payload, uint16_t acknowledgement) {
    lastAnswer = frameOf(kServer, kClient, ++sequence, acknowledgement, payload);
    return lastAnswer;
  }
  std::string handle(const std::string& f) {
    const std::string type = typeOf(f);
    const uint16_t seq = sequenceOf(f);
    if (type == "DSCV") {
      sequence = 0;
      lastRequest = 0;
      return answer(offer, 0);
    }
    if (seq == lastRequest) return lastAnswer;  // a resent request: the same answer
    lastRequest = seq;
    if (type == "YACK" && yacksToIgnore > 0) {
      --yacksToIgnore;
      lastRequest = 0;
      return "";
    }
    if (type != "RETR") return answer("OK", seq);
    if (!inFile) {
      if (file == files.size()) return answer("DONE", seq);
      inFile = true;
      offset = 0;
      return answer("FILE\n" + files[file].first + "\n" + std::to_string(files[file].second.size()) + "\n", seq);
    }
    const std::string chunk = files[file].second.substr(offset, net::MAX_PAYLOAD);
    offset += chunk.size();
    if (chunk.empty()) {
      inFile = false;
      ++file;
    }
    return answer(chunk, seq);
  }
};

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
