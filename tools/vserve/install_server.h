// The installation server's protocol engine: one state per client MAC (the
// phase it is in, the server's numbering, its place in the file list, its
// last answer), each request answered as the client accepts it. Pure: a
// request frame and the time in, zero or one answer frame out.
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

// Clients remembered at once; a flood of invented MACs pushes out the ones
// silent longest, never a machine being served unless it has been silent
// for half an hour.
inline constexpr size_t MAX_CLIENTS = 4096;
inline constexpr uint64_t ABANDONED_AFTER = 1800000000;  // µs

enum class Request { NONE, YACK, STRT, RETR };
enum class Event { DRIVERS_OFFERED, SERVER_OFFERED, STARTED, FILE_STARTED, FILE_SENT, ALL_SENT, FINISHED };
enum class Phase { NONE, DRIVERS, INSTALL };

// What the operator is shown of one machine.
struct Progress {
  Phase phase = Phase::NONE;
  std::string label;        // the disk label its DSCV carried
  std::string file;         // the file being sent
  uint64_t bytes = 0;       // of every file of the phase
  uint32_t files = 0;       // files sent whole
  uint32_t retransmissions = 0;  // requests repeated because an answer was lost
  uint64_t since = 0, lastSeen = 0;  // µs: the offer, the last request
  bool writing = false;     // STRT answered: its disk is being written
  bool finished = false;    // WTRM answered after the whole list
};

class InstallServer {
 public:
  using Plans = std::function<const MachinePlan&(const net::Mac& client)>;
  using Report = std::function<void(const net::Mac& client, Event, const std::string& detail)>;
  InstallServer(net::Mac own, ServedFile driver, Plans plans, Report report = {})
      : own_(own), driver_(std::move(driver)), plans_(std::move(plans)), report_(std::move(report)) {
    driverList_ = {driver_};
  }

  // The answer to a received datagram at time now (µs; empty: none).
  std::string handle(const uint8_t* frame, ssize_t n, uint64_t now);
  size_t clients() const { return clients_.size(); }
  // Nothing for a client that was never seen or was forgotten.
  const Progress* progress(const net::Mac& client) const;

 private:
  struct Client {
    Progress progress;
    uint16_t sequence = 0;      // the server's last number on this link
    uint16_t lastRequest = 0;   // the client's last request answered
    std::string lastAnswer;
    const std::vector<ServedFile>* files = nullptr;
    size_t file = 0;
    size_t offset = 0;
    bool inFile = false;
    Request last = Request::NONE;  // the type of lastRequest
    bool announced = false;     // a request after the offer was accepted
    bool listEnded = false;     // the answer that ends the file list was sent
  };
  static bool live(const Client& c);
  static bool follows(const Client& c, const net::FrameHeader& h, Request type);
  std::string discover(const net::FrameHeader& h, const uint8_t* payload, Phase phase, uint64_t now);
  Client* requestFor(const net::FrameHeader& h, Request type);
  std::string answer(Client& c, const net::Mac& to, uint16_t acknowledgement, const std::string& payload);
  std::string startPhase(Client& c, const net::Mac& to, Phase phase, const std::string& label, uint64_t now);
  std::string nextOfFiles(Client& c, const net::Mac& to, uint16_t request);
  std::string terminate(const net::FrameHeader& h);
  // False when no place could be freed for one more client.
  template <typename Key>
  bool makeRoom(std::map<Key, Client>& clients, uint64_t now);
  void report(const net::Mac& client, Event e, const std::string& detail) {
    if (report_) report_(client, e, detail);
  }

  net::Mac own_;
  ServedFile driver_;
  std::vector<ServedFile> driverList_;
  Plans plans_;
  Report report_;
  std::map<net::Mac, Client> clients_;
  // A discovery from a machine that is being served starts here, beside
  // its transfer, one per phase: whichever state its next request follows
  // (numbers and type: YACK, then STRT, then RETR; RETR alone for drivers)
  // goes on. A frame that merely claims the MAC of a machine never breaks
  // its transfer, and a machine that really started again is served anew.
  std::map<std::pair<net::Mac, Phase>, Client> restarts_;
};

}  // namespace vserve
