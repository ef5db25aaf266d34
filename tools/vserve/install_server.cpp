#include "tools/vserve/install_server.h"

#include <cstring>

namespace vserve {

namespace {

bool typeIs(const uint8_t* frame, size_t payload, const char* type) {
  return payload >= 4 && memcmp(frame + net::HEADER_SIZE, type, 4) == 0;
}

}  // namespace

size_t framesFor(const MachinePlan& plan) {
  size_t frames = 3;  // OFFR, the answers to YACK and STRT
  for (const ServedFile& f : plan.files)
    frames += 2 + (f.content->size() + net::MAX_PAYLOAD - 1) / net::MAX_PAYLOAD;  // FILE, data, the empty end
  return frames + 2;  // the answer that ends the list, TERM
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

std::string InstallServer::startPhase(Client& c, const net::Mac& to, Phase phase) {
  c = Client();
  c.phase = phase;
  if (phase == Phase::DRIVERS) {
    driverList_ = {driver_};
    c.files = &driverList_;
    report(to, Event::DRIVERS_OFFERED, driver_.name);
    return answer(c, to, 0, "OFDR");
  }
  const MachinePlan& plan = plans_(to);
  c.files = &plan.files;
  report(to, Event::SERVER_OFFERED, plan.keep ? "keep" : "");
  return answer(c, to, 0, plan.keep ? "OFFR\n\nkeep\n" : "OFFR\n\n");
}

std::string InstallServer::nextOfFiles(Client& c, const net::Mac& to, uint16_t request) {
  const std::vector<ServedFile>& files = *c.files;
  if (!c.inFile) {
    if (c.file == files.size()) {
      if (c.phase == Phase::INSTALL) report(to, Event::ALL_SENT, "");
      return answer(c, to, request, "DONE");
    }
    c.inFile = true;
    c.offset = 0;
    const ServedFile& f = files[c.file];
    report(to, Event::FILE_STARTED, f.name);
    return answer(c, to, request, "FILE\n" + f.name + "\n" + std::to_string(f.content->size()) + "\n");
  }
  const ServedFile& f = files[c.file];
  const std::string chunk = f.content->substr(std::min(c.offset, f.content->size()), net::MAX_PAYLOAD);
  c.offset += chunk.size();
  if (chunk.empty()) {
    report(to, Event::FILE_SENT, f.name);
    c.inFile = false;
    ++c.file;
  }
  return answer(c, to, request, chunk);
}

std::string InstallServer::handle(const uint8_t* frame, ssize_t n) {
  if (n < ssize_t(net::HEADER_SIZE)) return "";
  const net::FrameHeader h = net::readHeader(frame);
  // Only whole frames from others: our own broadcasts come back to us.
  if (size_t(n) != net::HEADER_SIZE + h.payloadLength || h.source == own_ || net::isZero(h.source)) return "";
  const size_t payload = h.payloadLength;
  const bool discovery = net::isZero(h.destination);
  if (!discovery && h.destination != own_) return "";  // for another server
  Client& c = clients_[h.source];
  if (discovery) {
    if (h.sequence != 1 || h.acknowledgement != 0) return "";
    if (typeIs(frame, payload, "DSCV")) return startPhase(c, h.source, Phase::INSTALL);
    if (typeIs(frame, payload, "DRVR")) return startPhase(c, h.source, Phase::DRIVERS);
    return "";
  }
  // WTRM is answered whatever the server knows of the client: the numbers
  // that client accepts are in its frame.
  if (typeIs(frame, payload, "WTRM")) {
    c.sequence = h.acknowledgement;
    report(h.source, Event::FINISHED, "");
    return answer(c, h.source, h.sequence, "TERM");
  }
  if (c.phase == Phase::NONE) return "";
  // A repeated request (its answer was lost) gets the same answer again;
  // anything older, or acknowledging another answer, is a late duplicate.
  if (h.sequence == c.lastRequest && h.acknowledgement + 1 == c.sequence) return c.lastAnswer;
  if (h.sequence != uint16_t(c.lastRequest + 1) || h.acknowledgement != c.sequence) return "";
  if (typeIs(frame, payload, "RETR")) return nextOfFiles(c, h.source, h.sequence);
  if (typeIs(frame, payload, "STRT")) report(h.source, Event::STARTED, "");
  if (typeIs(frame, payload, "YACK") || typeIs(frame, payload, "STRT")) return answer(c, h.source, h.sequence, "OK");
  return "";
}

}  // namespace vserve
