// The network installation's frame: a 20-byte header (MAC addresses, payload
// length, 16-bit sequence and acknowledgement numbers, little-endian) and up
// to 4076 payload bytes in one UDP datagram, and the numbering rules of one
// client-server link. Pure: no system calls.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace net {

inline constexpr size_t FRAME_SIZE = 4096;
inline constexpr size_t HEADER_SIZE = 20;
inline constexpr size_t MAX_PAYLOAD = FRAME_SIZE - HEADER_SIZE;
inline constexpr uint16_t PROTOCOL_PORT = 5000;

// Header layout.
inline constexpr size_t SOURCE_MAC_OFFSET = 0;
inline constexpr size_t DESTINATION_MAC_OFFSET = 6;
inline constexpr size_t RESERVED_OFFSET = 12;
inline constexpr size_t PAYLOAD_LENGTH_OFFSET = 14;
inline constexpr size_t SEQUENCE_OFFSET = 16;
inline constexpr size_t ACKNOWLEDGEMENT_OFFSET = 18;
static_assert(ACKNOWLEDGEMENT_OFFSET + 2 == HEADER_SIZE);

using Mac = std::array<uint8_t, 6>;
using Frame = std::array<uint8_t, FRAME_SIZE>;

inline bool isZero(const Mac& mac) { return mac == Mac{}; }
// "%02X:%02X:%02X:%02X:%02X:%02X"
std::string formatMac(const Mac& mac);
// Six hexadecimal bytes separated by ":" and nothing after; false otherwise.
[[nodiscard]] bool parseMac(const std::string& text, Mac& mac);

// The numbering of one exchange. The counters are 32-bit but travel as 16
// bits and are compared with the zero-extended value: nothing wraps, so after
// 65,535 accepted frames the link accepts no more (one run moves at most
// 65,535 × 4,076 bytes, about 267 MB).
struct NetLink {
  uint32_t sent = 0;      // the last sequence number this side gave
  uint32_t received = 0;  // the last sequence number accepted from the peer
  Mac own{};
  Mac peer{};             // all zero: not known yet

  void resetCounters() { sent = received = 0; }
  void forgetPeer() { peer = Mac{}; }
};

inline uint16_t loadLe16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline void storeLe16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}

struct FrameHeader {
  Mac source{}, destination{};
  uint16_t payloadLength = 0, sequence = 0, acknowledgement = 0;
};
FrameHeader readHeader(const uint8_t* frame);

// Source = own MAC, destination = peer MAC, the payload length, sequence =
// ++sent, acknowledgement = received; the reserved field stays as the cleared
// buffer has it (0).
void fillHeader(NetLink& link, uint8_t* frame, uint16_t payloadLength);

// Whether a received datagram of n bytes (negative: none) is the peer's next
// frame; an accepted frame sets received to its sequence. Only the header and
// the counted payload bytes are looked at.
bool acceptFrame(NetLink& link, uint8_t* frame, ssize_t n);

// The payload of a frame already accepted (n its datagram length) begins with
// the four-letter type.
bool hasType(const uint8_t* frame, ssize_t n, const char type[4]);

}  // namespace net
