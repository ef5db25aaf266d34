// The network installation's frames and message texts: every acceptance rule
// of a received frame, the header a client writes, and the parsing of what a
// server sends, at the boundaries that matter.
#include <gtest/gtest.h>

#include <cstring>

#include "init/net/frame.h"
#include "init/net/messages.h"

using net::Frame;
using net::Mac;
using net::NetLink;

namespace {

const Mac kClient = {0x02, 0, 0, 0, 0, 0x01};
const Mac kServer = {0x02, 0, 0, 0, 0, 0x99};
const Mac kOther = {0x02, 0, 0, 0, 0, 0x55};

struct Sent {
  Mac source = kServer, destination = kClient;
  uint16_t payloadLength = 4, sequence = 1, acknowledgement = 0;
  std::string payload = "OFFR";
  ssize_t extra = 0;  // datagram length minus what the header counts
};

ssize_t build(Frame& frame, const Sent& s) {
  frame.fill(0);
  memcpy(frame.data(), s.source.data(), 6);
  memcpy(frame.data() + 6, s.destination.data(), 6);
  net::storeLe16(frame.data() + 14, s.payloadLength);
  net::storeLe16(frame.data() + 16, s.sequence);
  net::storeLe16(frame.data() + 18, s.acknowledgement);
  memcpy(frame.data() + 20, s.payload.data(), s.payload.size());
  return ssize_t(20 + s.payloadLength) + s.extra;
}

std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

// A literal with the NUL it spells out at its end.
template <size_t N>
std::string withNul(const char (&text)[N]) {
  return std::string(text, N - 1);
}

}  // namespace

struct AcceptCase {
  const char* name;
  NetLink link;  // before the frame
  Sent frame;
  ssize_t length = -2;  // -2: the frame's own length
  bool accepted;
};

TEST(NetFrame, AcceptanceRules) {
  NetLink fresh;  // a discovery: counters 0, peer unknown
  fresh.own = kClient;
  NetLink linked = fresh;  // after the OFFR and the YACK (sent 1, received 1)
  linked.peer = kServer;
  linked.sent = 1;
  linked.received = 1;
  NetLink full = linked;
  full.received = 65535;
  full.sent = 65535;
  const AcceptCase cases[] = {
      {"an OFFR: sequence 1, acknowledgement 0, addressed to us", fresh, {}, -2, true},
      {"nothing received", fresh, {}, -1, false},
      {"shorter than a header", fresh, {}, 19, false},
      {"a datagram longer than its length field", fresh, {.extra = 1}, -2, false},
      {"a datagram shorter than its length field", fresh, {.extra = -1}, -2, false},
      {"our own broadcast looped back", fresh, {.source = kClient, .destination = Mac{}}, -2, false},
      {"to another machine", fresh, {.destination = kOther}, -2, false},
      {"a zero destination while the peer is unknown", fresh, {.destination = Mac{}}, -2, true},
      {"a zero destination once the peer is known", linked, {.destination = Mac{}, .sequence = 2, .acknowledgement = 1},
       -2, false},
      {"from a machine that is not the peer", linked, {.source = kOther, .sequence = 2, .acknowledgement = 1}, -2, false},
      {"an acknowledgement of a frame not sent", linked, {.sequence = 2, .acknowledgement = 2}, -2, false},
      {"an OFFR with acknowledgement 1", fresh, {.acknowledgement = 1}, -2, false},
      {"an OFFR with sequence 2", fresh, {.sequence = 2}, -2, false},
      {"a stale answer repeated", linked, {.sequence = 1, .acknowledgement = 1}, -2, false},
      {"the peer's next frame", linked, {.sequence = 2, .acknowledgement = 1}, -2, true},
      {"an empty data frame", linked, {.payloadLength = 0, .sequence = 2, .acknowledgement = 1, .payload = ""}, -2, true},
      {"after 65,535 frames nothing is next", full, {.sequence = 0, .acknowledgement = 1}, -2, false},
  };
  for (const AcceptCase& c : cases) {
    SCOPED_TRACE(c.name);
    NetLink link = c.link;
    Frame frame;
    const ssize_t n = build(frame, c.frame);
    EXPECT_EQ(net::acceptFrame(link, frame.data(), c.length == -2 ? n : c.length), c.accepted);
    EXPECT_EQ(link.received, c.accepted ? uint32_t(c.frame.sequence) : c.link.received);
  }
}

TEST(NetFrame, ShortDatagramClearsTheHeaderArea) {
  NetLink link;
  link.own = kClient;
  Frame frame;
  build(frame, {});
  EXPECT_FALSE(net::acceptFrame(link, frame.data(), 10));
  EXPECT_EQ(net::readHeader(frame.data()).source, Mac{});
  EXPECT_EQ(frame[20], 'O');  // the payload area is left as it was
}

TEST(NetFrame, FillHeaderNumbersAndAddresses) {
  NetLink link;
  link.own = kClient;
  link.peer = kServer;
  link.sent = 2;
  link.received = 3;
  Frame frame{};
  net::fillHeader(link, frame.data(), 4);
  const uint8_t expected[20] = {0x02, 0, 0, 0, 0, 0x01, 0x02, 0, 0, 0, 0, 0x99, 0, 0, 4, 0, 3, 0, 3, 0};
  EXPECT_EQ(memcmp(frame.data(), expected, 20), 0);
  EXPECT_EQ(link.sent, 3u);
  EXPECT_EQ(net::formatMac(kServer), "02:00:00:00:00:99");
}

TEST(NetFrame, TypeNeedsFourCountedBytes) {
  Frame frame;
  EXPECT_TRUE(net::hasType(frame.data(), build(frame, {.payloadLength = 6, .payload = "TERM\n\n"}), "TERM"));
  // "TE" counted, "RM" beyond the payload length: not a TERM.
  EXPECT_FALSE(net::hasType(frame.data(), build(frame, {.payloadLength = 2, .payload = "TERM"}), "TERM"));
  EXPECT_FALSE(net::hasType(frame.data(), build(frame, {.payload = "TERX"}), "TERM"));
}

TEST(NetMessages, DiscoveryAndDriverTexts) {
  const std::string dscv = net::discoveryPayload({"", "", "Korvanet", "0.0"});
  EXPECT_EQ(dscv, withNul("DSCV\n\n\nKorvanet\ni386\n0.0\n6.49.21\n\0"));
  EXPECT_EQ(net::discoveryPayload({"opaque", "x", "lab", "6.49.3"}),
            withNul("DSCV\nopaque\nx\nlab\ni386\n6.49.3\n6.49.21\n\0"));
  EXPECT_EQ(net::driverRequestPayload("6.1.0-57-amd64"), withNul("DRVR\n6.1.0-57-amd64\0"));
}

TEST(NetMessages, Offers) {
  struct Case {
    const char* name;
    std::string payload;
    bool taken;
    std::string line2;
    bool keep;
  } cases[] = {
      {"line 2 and keep", "OFFR\nopaque\nkeep\n", true, "opaque", true},
      {"keep without its newline", "OFFR\nopaque\nkeep", true, "opaque", false},
      {"another third line", "OFFR\nopaque\nkeeps\n", true, "opaque", false},
      {"no third line", "OFFR\n\n", true, "", false},
      {"line 2 of 512 characters", "OFFR\n" + std::string(512, 'a') + "\n", true, std::string(512, 'a'), false},
      {"line 2 of 513 characters", "OFFR\n" + std::string(513, 'a') + "\n", false, "", false},
      {"no newline after line 2", "OFFR\nopaque", false, "", false},
      {"no newline at all", "OFFR", false, "", false},
      {"not an offer", "OFDR\nx\n", false, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    net::Offer offer;
    const std::vector<uint8_t> p = bytes(c.payload);
    ASSERT_EQ(net::parseOffer(p.data(), p.size(), offer), c.taken);
    if (!c.taken) continue;
    EXPECT_EQ(offer.line2, c.line2);
    EXPECT_EQ(offer.keep, c.keep);
  }
}

TEST(NetMessages, FileAnnouncements) {
  struct Case {
    const char* name;
    std::string payload;
    bool taken;
    std::string fileName;
    int32_t size;
  } cases[] = {
      {"a package", "FILE\nsystem.vpk\n334400\n", true, "system.vpk", 334400},
      {"size 0", "FILE\nrouter.scr\n0\n", true, "router.scr", 0},
      {"a negative size", "FILE\nx\n-5\n", true, "x", -5},
      {"atoi's rules: blanks, sign, digits up to the first other character", "FILE\nx\n  +12ab\n", true, "x", 12},
      {"no digits", "FILE\nx\nabc\n", true, "x", 0},
      {"held to 32 bits", "FILE\nx\n99999999999\n", true, "x", INT32_MAX},
      {"the size is read from its own line only", "FILE\nx\n\n7\n", true, "x", 0},
      {"the name cut at 80 characters", "FILE\n" + std::string(90, 'n') + "\n1\n", true, std::string(80, 'n'), 1},
      {"no newline after the size", "FILE\nx\n12", false, "", 0},
      {"no newline after the name", "FILE\nx", false, "", 0},
      {"not a FILE", "DATA\nx\n1\n", false, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    net::FileAnnouncement file;
    const std::vector<uint8_t> p = bytes(c.payload);
    ASSERT_EQ(net::parseFileAnnouncement(p.data(), p.size(), file), c.taken);
    if (!c.taken) continue;
    EXPECT_EQ(file.name, c.fileName);
    EXPECT_EQ(file.size, c.size);
  }
}

TEST(NetMessages, DiskLabel) {
  EXPECT_EQ(net::diskLabel("AB 12\r\n"), "AB12");
  EXPECT_EQ(net::diskLabel("   \t"), "Korvanet");
  EXPECT_EQ(net::diskLabel(""), "Korvanet");
  EXPECT_EQ(net::diskLabel("r-1.(x)\x01\xe9"), "r-1.(x)");
  EXPECT_EQ(net::diskLabel(std::string(70, 'z')).size(), 63u);
}
