#include "init/net/frame.h"

#include <cstdio>
#include <cstring>

namespace net {

std::string formatMac(const Mac& mac) {
  char text[18];
  snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  return text;
}

bool parseMac(const std::string& text, Mac& mac) {
  unsigned b[6];
  char end;
  if (sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x%c", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &end) != 6) return false;
  for (size_t i = 0; i < 6; ++i) {
    if (b[i] > 255) return false;
    mac[i] = uint8_t(b[i]);
  }
  return true;
}

FrameHeader readHeader(const uint8_t* frame) {
  FrameHeader h;
  memcpy(h.source.data(), frame + SOURCE_MAC_OFFSET, 6);
  memcpy(h.destination.data(), frame + DESTINATION_MAC_OFFSET, 6);
  h.payloadLength = loadLe16(frame + PAYLOAD_LENGTH_OFFSET);
  h.sequence = loadLe16(frame + SEQUENCE_OFFSET);
  h.acknowledgement = loadLe16(frame + ACKNOWLEDGEMENT_OFFSET);
  return h;
}

void fillHeader(NetLink& link, uint8_t* frame, uint16_t payloadLength) {
  memcpy(frame + SOURCE_MAC_OFFSET, link.own.data(), 6);
  memcpy(frame + DESTINATION_MAC_OFFSET, link.peer.data(), 6);
  storeLe16(frame + PAYLOAD_LENGTH_OFFSET, payloadLength);
  storeLe16(frame + SEQUENCE_OFFSET, uint16_t(++link.sent));
  storeLe16(frame + ACKNOWLEDGEMENT_OFFSET, uint16_t(link.received));
}

bool acceptFrame(NetLink& link, uint8_t* frame, ssize_t n) {
  if (n < ssize_t(HEADER_SIZE)) {
    memset(frame, 0, HEADER_SIZE);
    return false;
  }
  const FrameHeader h = readHeader(frame);
  if (size_t(n) - HEADER_SIZE != h.payloadLength) return false;
  if (h.source == link.own) return false;  // our own broadcast, looped back
  if (isZero(h.destination) ? !isZero(link.peer) : h.destination != link.own) return false;
  if (!isZero(link.peer) && h.source != link.peer) return false;
  if (h.acknowledgement > link.sent) return false;
  // The counters do not wrap: after 65,535 frames none is received + 1.
  if (uint32_t(h.sequence) != link.received + 1) return false;
  link.received = h.sequence;
  return true;
}

bool hasType(const uint8_t* frame, ssize_t n, const char type[4]) {
  return n >= ssize_t(HEADER_SIZE) + 4 && loadLe16(frame + PAYLOAD_LENGTH_OFFSET) >= 4 &&
         memcmp(frame + HEADER_SIZE, type, 4) == 0;
}

}  // namespace net
