// A network for the network installation's tests: interfaces whose datagrams
// the test queues, a virtual clock that a wait advances by its whole timeout
// when nothing is queued, and a server that follows the protocol.
#pragma once

#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "init/net/exchange.h"

namespace qvtest {

using net::Mac;

inline const Mac kClient = {0x02, 0, 0, 0, 0, 0x01};
inline const Mac kSecondCard = {0x02, 0, 0, 0, 0, 0x02};
inline const Mac kServer = {0x02, 0, 0, 0, 0, 0x99};

inline std::string frameOf(const Mac& source, const Mac& destination, uint16_t sequence, uint16_t acknowledgement,
                    const std::string& payload) {
  std::string f(net::HEADER_SIZE, '\0');
  memcpy(f.data(), source.data(), 6);
  memcpy(f.data() + 6, destination.data(), 6);
  net::storeLe16(reinterpret_cast<uint8_t*>(f.data()) + 14, uint16_t(payload.size()));
  net::storeLe16(reinterpret_cast<uint8_t*>(f.data()) + 16, sequence);
  net::storeLe16(reinterpret_cast<uint8_t*>(f.data()) + 18, acknowledgement);
  return f + payload;
}

inline std::string payloadOf(const std::string& frame) { return frame.substr(net::HEADER_SIZE); }
inline std::string typeOf(const std::string& frame) { return frame.substr(net::HEADER_SIZE, 4); }
inline uint16_t sequenceOf(const std::string& frame) { return net::loadLe16(reinterpret_cast<const uint8_t*>(frame.data()) + 16); }

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
  bool keyPressed = false;  // standard input is readable when watched

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
  net::Readiness wait(const std::vector<size_t>& interfaces, bool watchInput, uint64_t timeout) override {
    net::Readiness r;
    if (watchInput && keyPressed) {
      r.input = true;
      return r;
    }
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

// A server that follows the protocol: OFDR to DRVR and OFFR to DSCV (each
// starting the numbering and the file list of its phase), an answer to YACK
// and STRT, FILE and data frames to RETR, TERM to WTRM, a repeated request
// answered again.
struct FakeServer {
  std::string offer = "OFFR\n\n";
  int yacksToIgnore = 0;
  bool answersStart = true;
  using Files = std::vector<std::pair<std::string, std::string>>;  // name, content
  Files files, drivers;
  Files* list = &files;
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
    if (type == "DSCV" || type == "DRVR") {
      sequence = 0;
      lastRequest = 0;
      list = type == "DSCV" ? &files : &drivers;
      file = offset = 0;
      inFile = false;
      return answer(type == "DSCV" ? offer : "OFDR", 0);
    }
    if (seq == lastRequest) return lastAnswer;  // a resent request: the same answer
    lastRequest = seq;
    if (type == "YACK" && yacksToIgnore > 0) {
      --yacksToIgnore;
      lastRequest = 0;
      return "";
    }
    if (type == "STRT" && !answersStart) return "";
    if (type == "WTRM") return answer("TERM", seq);
    if (type != "RETR") return answer("OK", seq);
    const Files& l = *list;
    if (!inFile) {
      if (file == l.size()) return answer("DONE", seq);
      inFile = true;
      offset = 0;
      return answer("FILE\n" + l[file].first + "\n" + std::to_string(l[file].second.size()) + "\n", seq);
    }
    const std::string chunk = l[file].second.substr(offset, net::MAX_PAYLOAD);
    offset += chunk.size();
    if (chunk.empty()) {
      inFile = false;
      ++file;
    }
    return answer(chunk, seq);
  }
};

}  // namespace qvtest
