#include "init/net/exchange.h"

#include <cstring>

#include "init/net/messages.h"

namespace net {

namespace {

constexpr uint64_t YACK_WAIT = 1000000, FILE_WAIT = 20000, DATA_WAIT = 30000;
constexpr int YACK_ATTEMPTS = 5, FILE_ATTEMPTS = 300, DATA_ATTEMPTS = 300;

std::vector<size_t> allInterfaces(const NetSession& s) {
  std::vector<size_t> all(s.io.interfaceCount());
  for (size_t i = 0; i < all.size(); ++i) all[i] = i;
  return all;
}

size_t payloadOf(const uint8_t* frame) { return loadLe16(frame + PAYLOAD_LENGTH_OFFSET); }

// The broadcast of a payload that carries its own NUL.
void broadcastText(NetSession& s, const std::string& payload) {
  Frame frame{};
  memcpy(frame.data() + HEADER_SIZE, payload.data(), payload.size());
  broadcastFrame(s, frame.data(), uint16_t(payload.size()));
}

// The request on the chosen interface, answered by the peer's next frame.
ssize_t request(NetSession& s, const std::string& payload, uint8_t* reply, uint64_t wait, int attempts) {
  Frame frame{};
  buildRequest(s, frame.data(), payload);
  return sendAndAwait(s, size_t(s.chosen), frame.data(), reply, wait, attempts);
}

}  // namespace

uint16_t buildRequest(NetSession& s, uint8_t* frame, const std::string& payload) {
  memset(frame, 0, FRAME_SIZE);
  memcpy(frame + HEADER_SIZE, payload.data(), payload.size());
  fillHeader(s.link, frame, uint16_t(payload.size()));
  return uint16_t(payload.size());
}

ssize_t sendAndAwait(NetSession& s, size_t interface, const uint8_t* frame, uint8_t* reply, uint64_t waitMicros,
                     int attempts) {
  const size_t length = HEADER_SIZE + payloadOf(frame);
  for (int attempt = 0; attempt < attempts; ++attempt) {
    if (s.io.send(interface, frame, length) != ssize_t(length)) return -1;
    const uint64_t deadline = s.io.now() + waitMicros;
    for (uint64_t now = s.io.now(); now < deadline; now = s.io.now()) {
      const Readiness r = s.io.wait({interface}, false, deadline - now);
      if (r.readable.empty()) continue;  // interrupted, or the time is up
      const ssize_t n = s.io.receive(interface, reply);
      if (acceptFrame(s.link, reply, n)) return n;
    }
  }
  return -1;
}

void broadcastFrame(NetSession& s, uint8_t* frame, uint16_t payloadLength) {
  if (++s.broadcasts >= REBUILD_EVERY) {
    s.io.rebuild();
    s.broadcasts = 0;
  }
  s.budget = DISCOVERY_BUDGET;
  s.chosen = -1;
  s.link.resetCounters();
  s.link.forgetPeer();
  for (size_t i = 0; i < s.io.interfaceCount(); ++i) {
    s.link.own = s.io.mac(i);
    fillHeader(s.link, frame, payloadLength);
    s.link.resetCounters();
    const size_t length = HEADER_SIZE + payloadLength;
    if (s.io.send(i, frame, length) != ssize_t(length)) break;
  }
}

bool awaitMessage(NetSession& s, uint8_t* reply, const char type[4]) {
  while (s.budget > 0) {
    const uint64_t start = s.io.now();
    const Readiness r = s.io.wait(allInterfaces(s), false, s.budget);
    const uint64_t spent = s.io.now() - start;
    s.budget -= spent < s.budget ? spent : s.budget;
    if (r.interrupted) continue;
    if (r.timedOut) return false;
    for (size_t i : r.readable) {
      for (ssize_t n; (n = s.io.receive(i, reply)) >= 0;) {
        s.link.resetCounters();
        s.link.forgetPeer();
        s.link.own = s.io.mac(i);
        if (!acceptFrame(s.link, reply, n) || isZero(readHeader(reply).destination) || !hasType(reply, n, type))
          continue;
        s.chosen = int(i);
        s.link.peer = readHeader(reply).source;
        return true;
      }
    }
  }
  return false;
}

void discoverServer(NetSession& s, const std::string& label, const std::string& minimumVersion) {
  Frame reply{};
  for (;;) {
    s.keep = false;
    broadcastText(s, discoveryPayload({s.line2, s.line3, label, minimumVersion}));
    while (awaitMessage(s, reply.data(), "OFFR")) {
      Offer offer;
      if (!parseOffer(reply.data() + HEADER_SIZE, payloadOf(reply.data()), offer)) continue;
      s.line2 = offer.line2;
      s.keep = offer.keep;
      if (request(s, "YACK\n", reply.data(), YACK_WAIT, YACK_ATTEMPTS) >= 0) return;
      break;  // the server went quiet: a new discovery
    }
  }
}

void requestDrivers(NetSession& s, const std::string& kernelRelease) {
  Frame reply{};
  do broadcastText(s, driverRequestPayload(kernelRelease));
  while (!awaitMessage(s, reply.data(), "OFDR"));
}

bool NetFileStream::next() {
  size_ = 0;
  chunkLength_ = chunkPosition_ = total_ = 0;
  const ssize_t n = request(s_, "RETR", reply_.data(), FILE_WAIT, FILE_ATTEMPTS);
  FileAnnouncement file;
  if (n < 0 || !hasType(reply_.data(), n, "FILE") ||
      !parseFileAnnouncement(reply_.data() + HEADER_SIZE, payloadOf(reply_.data()), file))
    return false;
  name_ = file.name;
  size_ = file.size;
  return size_ >= 0;
}

ssize_t NetFileStream::read(uint8_t* buffer, size_t max) {
  if (chunkPosition_ == chunkLength_) {
    if (request(s_, "RETR", reply_.data(), DATA_WAIT, DATA_ATTEMPTS) < 0) return -1;
    chunkLength_ = uint32_t(payloadOf(reply_.data()));
    chunkPosition_ = 0;
    if (chunkLength_ == 0) return 0;
  }
  const size_t n = max < chunkLength_ - chunkPosition_ ? max : chunkLength_ - chunkPosition_;
  memcpy(buffer, reply_.data() + HEADER_SIZE + chunkPosition_, n);
  chunkPosition_ += uint32_t(n);
  total_ += uint32_t(n);
  return ssize_t(n);
}

}  // namespace net
