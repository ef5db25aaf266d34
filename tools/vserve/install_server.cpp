#include "tools/vserve/install_server.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace vserve {

namespace {

bool typeIs(const uint8_t* payload, size_t n, const char* type) { return n >= 4 && memcmp(payload, type, 4) == 0; }

// Line 4 of a DSCV: the disk label, kept printable and short, since any
// machine on the segment may write what the operator's screen shows.
std::string labelOf(const uint8_t* payload, size_t n) {
  std::string_view text(reinterpret_cast<const char*>(payload), n);
  text = text.substr(0, text.find('\0'));
  size_t from = 0;
  for (int line = 1; line < 4; ++line) {
    const size_t end = text.find('\n', from);
    if (end == std::string_view::npos) return "";
    from = end + 1;
  }
  std::string label;
  for (size_t i = from; i < text.size() && text[i] != '\n' && label.size() < 63; ++i)
    if (text[i] > ' ' && text[i] < 0x7F) label += text[i];
  return label;
}

}  // namespace

size_t framesFor(const MachinePlan& plan) {
  size_t frames = 3;  // OFFR, the answers to YACK and STRT
  for (const ServedFile& f : plan.files)
    frames += 2 + (f.content->size() + net::MAX_PAYLOAD - 1) / net::MAX_PAYLOAD;  // FILE, data, the empty end
  return frames + 2;  // the answer that ends the list, TERM
}

const Progress* InstallServer::progress(const net::Mac& client) const {
  const auto it = clients_.find(client);
  return it == clients_.end() ? nullptr : &it->second.progress;
}

std::string InstallServer::answer(Client& c, const net::Mac& to, uint16_t acknowledgement,
                                  const std::string& payload) {
  net::NetLink link;
  link.own = own_;
  link.peer = to;
  link.sent = c.sequence;
  link.received = acknowledgement;
  std::string frame(net::HEADER_SIZE + payload.size(), '\0');
  memcpy(frame.data() + net::HEADER_SIZE, payload.data(), payload.size());
  net::fillHeader(link, reinterpret_cast<uint8_t*>(frame.data()), uint16_t(payload.size()));
  c.sequence = uint16_t(link.sent);
  c.lastRequest = acknowledgement;
  c.lastAnswer = frame;
  return frame;
}

std::string InstallServer::startPhase(Client& c, const net::Mac& to, Phase phase, const std::string& label,
                                      uint64_t now) {
  c = Client();
  c.progress.phase = phase;
  c.progress.label = label;
  c.progress.since = c.progress.lastSeen = now;
  if (phase == Phase::DRIVERS) {
    c.files = &driverList_;
    return answer(c, to, 0, "OFDR");
  }
  const MachinePlan& plan = plans_(to);
  c.files = &plan.files;
  return answer(c, to, 0, plan.keep ? "OFFR\n\nkeep\n" : "OFFR\n\n");
}

std::string InstallServer::nextOfFiles(Client& c, const net::Mac& to, uint16_t request) {
  const std::vector<ServedFile>& files = *c.files;
  Progress& p = c.progress;
  if (!c.inFile) {
    if (c.file == files.size()) {
      if (c.progress.phase == Phase::INSTALL && !c.listEnded) report(to, Event::ALL_SENT, "");
      c.listEnded = true;
      p.file.clear();
      return answer(c, to, request, "DONE");
    }
    c.inFile = true;
    c.offset = 0;
    const ServedFile& f = files[c.file];
    p.file = f.name;
    report(to, Event::FILE_STARTED, f.name);
    return answer(c, to, request, "FILE\n" + f.name + "\n" + std::to_string(f.content->size()) + "\n");
  }
  const ServedFile& f = files[c.file];
  const std::string chunk = f.content->substr(std::min(c.offset, f.content->size()), net::MAX_PAYLOAD);
  c.offset += chunk.size();
  p.bytes += chunk.size();
  if (chunk.empty()) {
    report(to, Event::FILE_SENT, f.name);
    ++p.files;
    c.inFile = false;
    ++c.file;
    // A client takes one driver package and never asks for the list's end.
    if (c.progress.phase == Phase::DRIVERS && c.file == files.size()) c.listEnded = true;
  }
  return answer(c, to, request, chunk);
}

// A phase that its machine may still be following, which a new discovery
// must not simply drop: drivers until their list has ended, an installation
// until its WTRM was answered.
bool InstallServer::live(const Client& c) {
  if (c.progress.phase == Phase::DRIVERS) return !c.listEnded;
  return c.progress.phase == Phase::INSTALL && !c.progress.finished;
}

bool InstallServer::follows(const Client& c, const net::FrameHeader& h, Request type) {
  if (c.progress.phase == Phase::NONE) return false;
  if (h.sequence == c.lastRequest && h.acknowledgement + 1 == c.sequence) return type == c.last;  // repeated
  if (h.sequence != uint16_t(c.lastRequest + 1) || h.acknowledgement != c.sequence) return false;
  if (c.progress.phase == Phase::DRIVERS) return type == Request::RETR;
  switch (c.last) {
    case Request::NONE: return type == Request::YACK;
    case Request::YACK: return type == Request::STRT;
    default: return type == Request::RETR;
  }
}

template <typename Key>
bool InstallServer::makeRoom(std::map<Key, Client>& clients, uint64_t now) {
  if (clients.size() < MAX_CLIENTS) return true;
  // Machines being served stay unless silent for half an hour: one may be
  // silent for minutes while it formats its disk, and a flood costs only a
  // few frames a MAC. When machines being served take every place, a new
  // discovery waits (its machine asks again every second).
  std::vector<std::pair<uint64_t, Key>> forgettable;
  for (const auto& [key, c] : clients)
    if (!(c.announced && live(c)) || now - c.progress.lastSeen >= ABANDONED_AFTER)
      forgettable.push_back({c.progress.lastSeen, key});
  std::sort(forgettable.begin(), forgettable.end());
  for (size_t i = 0; i < forgettable.size() && i < MAX_CLIENTS / 4; ++i) clients.erase(forgettable[i].second);
  return clients.size() < MAX_CLIENTS;
}

std::string InstallServer::discover(const net::FrameHeader& h, const uint8_t* payload, Phase phase, uint64_t now) {
  const std::string label = phase == Phase::INSTALL ? labelOf(payload, h.payloadLength) : "";
  auto it = clients_.find(h.source);
  // A phase whose offer no request has followed yet is simply offered
  // again; another phase may be one that its machine is about to follow.
  if (it != clients_.end() && live(it->second) &&
      !(it->second.last == Request::NONE && it->second.progress.phase == phase)) {
    if (!makeRoom(restarts_, now)) return "";
    return startPhase(restarts_[{h.source, phase}], h.source, phase, label, now);
  }
  restarts_.erase({h.source, phase});  // the same offer; one of another phase may still be followed
  if (it == clients_.end()) {
    if (!makeRoom(clients_, now)) return "";
    it = clients_.try_emplace(h.source).first;
  }
  return startPhase(it->second, h.source, phase, label, now);
}

// The state whose next (or repeated) request this frame is: the transfer
// under way, else a discovery that started beside it, which then replaces it.
InstallServer::Client* InstallServer::requestFor(const net::FrameHeader& h, Request type) {
  const auto it = clients_.find(h.source);
  if (it != clients_.end() && follows(it->second, h, type)) return &it->second;
  for (const Phase phase : {Phase::DRIVERS, Phase::INSTALL}) {
    const auto restarted = restarts_.find({h.source, phase});
    if (restarted == restarts_.end() || !follows(restarted->second, h, type)) continue;
    Client& c = clients_[h.source];
    c = std::move(restarted->second);
    restarts_.erase({h.source, Phase::DRIVERS});
    restarts_.erase({h.source, Phase::INSTALL});
    return &c;
  }
  return nullptr;
}

// WTRM is answered whatever the server knows of the client, from the
// numbers in its own frame, and without touching the state of any transfer.
std::string InstallServer::terminate(const net::FrameHeader& h) {
  Client scratch;
  scratch.sequence = h.acknowledgement;
  const std::string term = answer(scratch, h.source, h.sequence, "TERM");
  const auto it = clients_.find(h.source);
  if (it != clients_.end()) {
    Client& c = it->second;
    if (c.progress.phase == Phase::INSTALL && c.listEnded && !c.progress.finished) {
      c.progress.finished = true;
      report(h.source, Event::FINISHED, "");
    }
  }
  return term;
}

std::string InstallServer::handle(const uint8_t* frame, ssize_t n, uint64_t now) {
  if (n < ssize_t(net::HEADER_SIZE)) return "";
  const net::FrameHeader h = net::readHeader(frame);
  // Only whole frames from others: our own broadcasts come back to us.
  if (size_t(n) != net::HEADER_SIZE + h.payloadLength || h.source == own_ || net::isZero(h.source)) return "";
  const uint8_t* payload = frame + net::HEADER_SIZE;
  const size_t length = h.payloadLength;
  if (net::isZero(h.destination)) {
    if (h.sequence != 1 || h.acknowledgement != 0) return "";
    if (typeIs(payload, length, "DSCV")) return discover(h, payload, Phase::INSTALL, now);
    if (typeIs(payload, length, "DRVR")) return discover(h, payload, Phase::DRIVERS, now);
    return "";
  }
  if (h.destination != own_) return "";  // for another server
  if (typeIs(payload, length, "WTRM")) return terminate(h);
  const Request type = typeIs(payload, length, "RETR")   ? Request::RETR
                       : typeIs(payload, length, "STRT") ? Request::STRT
                       : typeIs(payload, length, "YACK") ? Request::YACK
                                                         : Request::NONE;
  if (type == Request::NONE) return "";
  Client* found = requestFor(h, type);
  if (!found) return "";  // a late duplicate, or another's numbers
  Client& c = *found;
  c.progress.lastSeen = now;
  // A repeated request (its answer was lost) gets the same answer again.
  if (h.sequence == c.lastRequest) {
    ++c.progress.retransmissions;
    return c.lastAnswer;
  }
  if (!c.announced) {
    c.announced = true;
    if (c.progress.phase == Phase::DRIVERS) report(h.source, Event::DRIVERS_OFFERED, driver_.name);
    else report(h.source, Event::SERVER_OFFERED, plans_(h.source).keep ? "keep" : "");
  }
  c.last = type;
  if (type == Request::RETR) return nextOfFiles(c, h.source, h.sequence);
  if (type == Request::STRT && !c.progress.writing) {
    c.progress.writing = true;
    report(h.source, Event::STARTED, "");
  }
  return answer(c, h.source, h.sequence, "OK");
}

}  // namespace vserve
