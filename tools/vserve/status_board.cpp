#include "tools/vserve/status_board.h"

#include <sys/ioctl.h>

#include <algorithm>
#include <cinttypes>

namespace vserve {

namespace {

const char* eventText(Event e) {
  switch (e) {
    case Event::DRIVERS_OFFERED: return "asks for drivers: offering";
    case Event::SERVER_OFFERED: return "found the server";
    case Event::STARTED: return "disk prepared, installing";
    case Event::FILE_STARTED: return "sending";
    case Event::FILE_SENT: return "sent";
    case Event::ALL_SENT: return "every file sent";
    case Event::FINISHED: return "installation ended";
  }
  return "";
}

const char* phaseText(const Progress& p) {
  if (p.finished) return "done";
  if (p.phase == Phase::DRIVERS) return "drivers";
  if (p.phase == Phase::INSTALL) return p.writing ? "installing" : "preparing disk";
  return "waiting";
}

uint64_t rateOf(const Progress& p) {
  const uint64_t micros = p.lastSeen - p.since;
  return micros == 0 ? 0 : p.bytes * 1000000 / micros;
}

}  // namespace

std::string byteText(uint64_t bytes) {
  char text[32];
  if (bytes >= 1000000) snprintf(text, sizeof text, "%.1f MB", double(bytes) / 1e6);
  else if (bytes >= 1000) snprintf(text, sizeof text, "%" PRIu64 " KB", bytes / 1000);
  else snprintf(text, sizeof text, "%" PRIu64 " B", bytes);
  return text;
}

std::string StatusBoard::line(const net::Mac& client, const Progress& p, const std::string& boot) {
  char text[256];
  snprintf(text, sizeof text, "%s %-12s %-14s %-24s %9s %9s/s", net::formatMac(client).c_str(),
           p.label.empty() ? "-" : p.label.c_str(),
           p.phase == Phase::NONE && !boot.empty() ? boot.c_str() : phaseText(p), p.file.empty() ? "-" : p.file.c_str(),
           byteText(p.bytes).c_str(), byteText(rateOf(p)).c_str());
  return text;
}

StatusBoard::Row& StatusBoard::row(const net::Mac& client) {
  for (Row& r : rows_)
    if (r.mac == client) return r;
  // Machines that ended go first when many machines (or a hostile one with
  // many MACs) have been seen.
  if (rows_.size() >= MAX_ROWS) {
    auto done = std::find_if(rows_.begin(), rows_.end(), [](const Row& r) { return r.ended; });
    rows_.erase(done != rows_.end() ? done : rows_.begin());
  }
  rows_.push_back({client, {}});
  return rows_.back();
}

void StatusBoard::event(const net::Mac& client, Event e, const std::string& detail, const Progress* progress,
                        uint64_t now) {
  Row& r = row(client);
  if (progress) r.last = *progress;
  if (e == Event::DRIVERS_OFFERED || e == Event::SERVER_OFFERED) r.ended = false;
  if (e == Event::FINISHED) r.ended = true;
  if (!live_) {
    fprintf(out_, "%s %s%s%s\n", net::formatMac(client).c_str(), eventText(e), detail.empty() ? "" : " ",
            detail.c_str());
    fflush(out_);
  }
  lastDrawn_ = now - 100001;  // the next tick shows it
}

void StatusBoard::boot(const net::Mac& client, const std::string& what, uint64_t now) {
  Row& r = row(client);
  r.boot = what;
  if (!live_) {
    fprintf(out_, "%s %s\n", net::formatMac(client).c_str(), what.c_str());
    fflush(out_);
  }
  lastDrawn_ = now - 100001;
}

void StatusBoard::redraw(const InstallServer& server) {
  // Lines cut to the terminal's width and no more lines than it has: a
  // wrapped or scrolled line would leave the cursor short of the top.
  winsize size = {};
  if (ioctl(fileno(out_), TIOCGWINSZ, &size) != 0 || size.ws_col < 20 || size.ws_row < 3) size = {24, 80, 0, 0};
  const size_t shown = std::min(rows_.size(), size_t(size.ws_row - 2));
  if (drawn_ > 0) fprintf(out_, "\x1b[%zuA", drawn_);
  for (size_t i = rows_.size() - shown; i < rows_.size(); ++i) {
    Row& r = rows_[i];
    if (const Progress* p = server.progress(r.mac); p && !r.ended) r.last = *p;
    const std::string text = line(r.mac, r.last, r.boot).substr(0, size.ws_col - 1u);
    fprintf(out_, "\r%s\x1b[K\n", text.c_str());
  }
  drawn_ = shown;
  fflush(out_);
}

void StatusBoard::tick(const InstallServer& server, uint64_t now) {
  if (!live_ || now - lastDrawn_ < 100000) return;
  lastDrawn_ = now;
  redraw(server);
}

void StatusBoard::summary(const InstallServer& server) {
  if (live_) redraw(server);
  for (Row& r : rows_) {
    if (const Progress* p = server.progress(r.mac); p && !r.ended) r.last = *p;
    const Progress& p = r.last;
    fprintf(out_, "%s %s: %s, %u files, %s, %u retransmissions, %.1f s\n", net::formatMac(r.mac).c_str(),
            p.label.empty() ? "-" : p.label.c_str(), phaseText(p), p.files, byteText(p.bytes).c_str(),
            p.retransmissions, double(p.lastSeen - p.since) / 1e6);
  }
  fflush(out_);
}

}  // namespace vserve
