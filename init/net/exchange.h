// The exchanges of the network installation over any set of interfaces and
// any clock: the discovery broadcasts and the wait for their answer, the
// stop-and-wait request with its retransmissions, the server search, and the
// transfer of one file. The sockets and the time of day are behind NetIo, so
// that every wait and retry runs against a fake in microseconds.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "init/net/frame.h"

namespace net {

struct Readiness {
  bool timedOut = false;     // also a failed wait
  bool interrupted = false;  // a signal came: wait again
  bool input = false;        // standard input is readable (only when watched)
  std::vector<size_t> readable;
};

class NetIo {
 public:
  virtual ~NetIo() = default;
  virtual size_t interfaceCount() const = 0;
  virtual Mac mac(size_t interface) const = 0;
  // The datagram to 255.255.255.255:5000 on that interface: bytes sent or -1.
  virtual ssize_t send(size_t interface, const uint8_t* frame, size_t n) = 0;
  // One waiting datagram (at most FRAME_SIZE bytes) or -1: none, or one that
  // did not come from the protocol's port.
  virtual ssize_t receive(size_t interface, uint8_t* buffer) = 0;
  // Until one of the interfaces (or standard input) is readable, at most timeout µs.
  virtual Readiness wait(const std::vector<size_t>& interfaces, bool watchInput, uint64_t timeoutMicros) = 0;
  virtual uint64_t now() = 0;  // µs
  // Closes the interfaces and enumerates them anew.
  virtual void rebuild() = 0;
};

inline constexpr uint32_t REBUILD_EVERY = 60;        // broadcasts
inline constexpr uint64_t DISCOVERY_BUDGET = 1000000;  // µs per broadcast cycle

struct NetSession {
  explicit NetSession(NetIo& io) : io(io) {}
  NetIo& io;
  NetLink link;
  int chosen = -1;  // the interface the server answered on
  uint32_t broadcasts = 0;
  uint64_t budget = 0;  // µs left of the current discovery wait
  bool keep = false;    // the server's OFFR asked to keep the old configuration
  // The DSCV's opaque lines: empty at the start of a run; the last OFFR's
  // line 2 is sent as line 2 of the next discovery.
  std::string line2, line3;
};

// Sends the filled frame on the interface and waits for the peer's next
// frame, resending the same frame after each wait: the reply's length, or -1.
ssize_t sendAndAwait(NetSession& s, size_t interface, const uint8_t* frame, uint8_t* reply, uint64_t waitMicros,
                     int attempts);

// A discovery frame (payload already in place) from every interface, each
// with sequence 1, acknowledgement 0 and no destination.
void broadcastFrame(NetSession& s, uint8_t* frame, uint16_t payloadLength);

// The first answer of that type addressed to one of our interfaces within
// what is left of the cycle's second; it chooses the interface and the peer.
bool awaitMessage(NetSession& s, uint8_t* reply, const char type[4]);

// DSCV, OFFR, YACK until a server has taken this client; never gives up.
void discoverServer(NetSession& s, const std::string& label, const std::string& minimumVersion);

// DRVR until some server offers a driver package (OFDR); never gives up.
void requestDrivers(NetSession& s, const std::string& kernelRelease);

// Clears a frame, puts the message in its payload and numbers it on the link.
uint16_t buildRequest(NetSession& s, uint8_t* frame, const std::string& payload);

// One file from the server on the chosen interface.
class NetFileStream {
 public:
  explicit NetFileStream(NetSession& s) : s_(s) {}
  // RETR until FILE: true for an announced file of size 0 or more; false
  // ends the file list (no answer, another answer, a negative size).
  bool next();
  // Up to max bytes of the file; 0 at its end (an empty data frame), -1 when
  // the server stopped answering.
  ssize_t read(uint8_t* buffer, size_t max);
  const std::string& name() const { return name_; }
  int32_t size() const { return size_; }
  uint32_t total() const { return total_; }

 private:
  NetSession& s_;
  std::string name_;
  int32_t size_ = 0;
  uint32_t chunkLength_ = 0, chunkPosition_ = 0, total_ = 0;
  Frame reply_{};
};

}  // namespace net
