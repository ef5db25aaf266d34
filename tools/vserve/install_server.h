// The installation server's protocol engine: one state per client MAC (the
// phase it is in, the server's numbering, its place in the file list, its
// last answer), each request answered as the client accepts it. Pure: a
// request frame in, zero or one answer frame out.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "init/net/frame.h"

namespace vserve {

struct ServedFile {
  std::string name;  // as announced in FILE
  std::shared_ptr<const std::string> content;
};

// What one machine is given: the script and the keep answer may differ per machine.
struct MachinePlan {
  bool keep = false;
  std::vector<ServedFile> files;  // packages in dependency order, then the script
};

// One run carries at most 65,535 server frames (16-bit numbering that never
// wraps): about 267 MB of files.
size_t framesFor(const MachinePlan& plan);
inline constexpr size_t MAX_FRAMES_PER_RUN = 65535;

enum class Event { DRIVERS_OFFERED, SERVER_OFFERED, STARTED, FILE_STARTED, FILE_SENT, ALL_SENT, FINISHED };

class InstallServer {
 public:
  using Plans = std::function<const MachinePlan&(const net::Mac& client)>;
  using Report = std::function<void(const net::Mac& client, Event, const std::string& detail)>;
  InstallServer(net::Mac own, ServedFile driver, Plans plans, Report report = {})
      : own_(own), driver_(std::move(driver)), plans_(std::move(plans)), report_(std::move(report)) {}

  // The answer to a received datagram (empty: none).
  std::string handle(const uint8_t* frame, ssize_t n);
  size_t clients() const { return clients_.size(); }

 private:
  enum class Phase { NONE, DRIVERS, INSTALL };
  struct Client {
    Phase phase = Phase::NONE;
    uint16_t sequence = 0;      // the server's last number on this link
    uint16_t lastRequest = 0;   // the client's last request answered
    std::string lastAnswer;
    const std::vector<ServedFile>* files = nullptr;
    size_t file = 0;
    size_t offset = 0;
    bool inFile = false;
  };
  std::string answer(Client& c, const net::Mac& to, uint16_t acknowledgement, const std::string& payload);
  std::string startPhase(Client& c, const net::Mac& to, Phase phase);
  std::string nextOfFiles(Client& c, const net::Mac& to, uint16_t request);
  void report(const net::Mac& client, Event e, const std::string& detail) {
    if (report_) report_(client, e, detail);
  }

  net::Mac own_;
  ServedFile driver_;
  std::vector<ServedFile> driverList_;
  Plans plans_;
  Report report_;
  std::map<net::Mac, Client> clients_;
};

}  // namespace vserve
