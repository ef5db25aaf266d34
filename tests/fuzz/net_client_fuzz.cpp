// libFuzzer target for what the network installation's client reads from the
// wire: the acceptance of a frame under any link state, and the OFFR and
// FILE texts of its payload (only its counted bytes).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "init/net/frame.h"
#include "init/net/messages.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first 20 bytes choose the link's state, the rest is the datagram.
  if (size < 20) return 0;
  net::NetLink link;
  memcpy(link.own.data(), data, 6);
  memcpy(link.peer.data(), data + 6, 6);
  link.sent = net::loadLe16(data + 12) | uint32_t(data[16] & 1) << 16;
  link.received = net::loadLe16(data + 14) | uint32_t(data[17] & 1) << 16;
  data += 20;
  size -= 20;
  net::Frame frame{};
  const size_t n = size < frame.size() ? size : frame.size();
  memcpy(frame.data(), data, n);
  const bool accepted = net::acceptFrame(link, frame.data(), ssize_t(n));
  if (n >= net::HEADER_SIZE) {
    const size_t payload = accepted ? net::loadLe16(frame.data() + net::PAYLOAD_LENGTH_OFFSET) : n - net::HEADER_SIZE;
    net::Offer offer;
    net::FileAnnouncement file;
    (void)net::parseOffer(frame.data() + net::HEADER_SIZE, payload, offer);
    (void)net::parseFileAnnouncement(frame.data() + net::HEADER_SIZE, payload, file);
    (void)net::hasType(frame.data(), ssize_t(n), "TERM");
  }
  return 0;
}
