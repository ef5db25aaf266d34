// A bad link between a client and its server, on the client's side of any
// NetIo: of the frames it receives, every 10th is lost, every 20th arrives
// twice and every 15th arrives after the one that followed it; of the frames
// it sends, every 10th is lost and every 20th goes out twice. A fixed rhythm
// rather than chance, so that a run is the same on a loaded machine and
// never meets a streak of losses that no client could survive.
#pragma once

#include <cstring>
#include <deque>
#include <optional>
#include <string>

#include "init/net/exchange.h"

namespace qvtest {

class SpoiledNetIo final : public net::NetIo {
 public:
  explicit SpoiledNetIo(net::NetIo& inner) : inner_(inner) {}

  struct Counts {
    uint32_t lost = 0, duplicated = 0, reordered = 0;
  } counts;

  size_t interfaceCount() const override { return inner_.interfaceCount(); }
  net::Mac mac(size_t i) const override { return inner_.mac(i); }
  uint64_t now() override { return inner_.now(); }
  void rebuild() override {
    pending_.clear();
    held_.reset();
    inner_.rebuild();
  }

  ssize_t send(size_t i, const uint8_t* frame, size_t n) override {
    ++sent_;
    if (sent_ % 10 == 6) {
      ++counts.lost;
      return ssize_t(n);
    }
    if (sent_ % 20 == 13) {
      ++counts.duplicated;
      inner_.send(i, frame, n);
    }
    return inner_.send(i, frame, n);
  }

  ssize_t receive(size_t i, uint8_t* buffer) override {
    for (auto it = pending_.begin(); it != pending_.end(); ++it)
      if (it->interface == i) {
        const std::string d = std::move(it->bytes);
        pending_.erase(it);
        memcpy(buffer, d.data(), d.size());
        return ssize_t(d.size());
      }
    for (;;) {
      const ssize_t n = inner_.receive(i, buffer);
      if (n < 0) return n;
      ++received_;
      const Datagram d{i, std::string(reinterpret_cast<const char*>(buffer), size_t(n))};
      if (received_ % 10 == 9) {
        ++counts.lost;
        continue;
      }
      if (received_ % 15 == 7 && !held_) {
        ++counts.reordered;
        held_ = d;
        continue;
      }
      if (received_ % 20 == 4) {
        ++counts.duplicated;
        pending_.push_back(d);
      }
      if (held_) {
        pending_.push_back(*held_);
        held_.reset();
      }
      return n;
    }
  }

  net::Readiness wait(const std::vector<size_t>& interfaces, bool watchInput, uint64_t timeoutMicros) override {
    net::Readiness r;
    for (const Datagram& d : pending_)
      for (size_t i : interfaces)
        if (d.interface == i) r.readable.push_back(i);
    if (!r.readable.empty()) return r;
    return inner_.wait(interfaces, watchInput, timeoutMicros);
  }

 private:
  struct Datagram {
    size_t interface;
    std::string bytes;
  };
  net::NetIo& inner_;
  std::deque<Datagram> pending_;
  std::optional<Datagram> held_;
  uint64_t sent_ = 0, received_ = 0;
};

}  // namespace qvtest
