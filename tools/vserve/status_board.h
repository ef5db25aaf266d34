// What the operator of vserve sees: on a terminal one live line per machine
// (MAC, label, phase, current file, bytes, rate), redrawn in place;
// elsewhere (a log, a pipe) one line per event. A summary per machine at
// the end.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "tools/vserve/install_server.h"

namespace vserve {

class StatusBoard {
 public:
  StatusBoard(FILE* out, bool live) : out_(out), live_(live) {}
  // An event of the server engine; the progress is the machine's own.
  void event(const net::Mac& client, Event e, const std::string& detail, const Progress* progress, uint64_t now);
  // What the network boot saw of a machine: "leased ADDRESS", "loaded FILE".
  void boot(const net::Mac& client, const std::string& what, uint64_t now);
  // Redraws the live lines when a tenth of a second has passed.
  void tick(const InstallServer& server, uint64_t now);
  void summary(const InstallServer& server);

  // "52:54:00:12:34:56 Korvanet  installing  system.vpk  1.2 MB  640 KB/s"
  static std::string line(const net::Mac& client, const Progress& p, const std::string& boot = "");

 private:
  struct Row {
    net::Mac mac;
    Progress last;  // kept when the server forgets the machine
    bool ended = false;  // its installation ended: what it got stays shown
    std::string boot;    // the network boot's last step
  };
  static constexpr size_t MAX_ROWS = 1024;
  Row& row(const net::Mac& client);
  void redraw(const InstallServer& server);

  FILE* out_;
  bool live_;
  std::vector<Row> rows_;
  size_t drawn_ = 0;
  uint64_t lastDrawn_ = 0;
};

// "1.2 MB", "640 KB", "17 B"
std::string byteText(uint64_t bytes);

}  // namespace vserve
