#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "link/port/timer.h"
#include "serve/log.h"
#include "serve/metrics.h"
#include "serve/pjlink_session.h"

namespace mero::serve {

// Who of a PJLink server's newcomers gets a place, and who gives his up for them. Clients are
// numbered in the order they came.
class PjlinkAdmission {
 public:
  struct Decision {
    std::optional<PjlinkRefusal> refusal;  // none: admitted
    std::optional<std::uint64_t> evicted;  // a client to close to make room for the newcomer
  };

  explicit PjlinkAdmission(const PjlinkLimits& limits) : limits_(limits) {}

  Decision admit(std::uint64_t id, const std::string& address);
  void authenticated(std::uint64_t id);
  // The client is gone; again for one that was evicted does nothing.
  void release(std::uint64_t id) { places_.erase(id); }
  std::size_t clients() const { return places_.size(); }

 private:
  struct Place {
    std::string address;
    bool authenticated = false;
  };
  std::optional<std::uint64_t> victim() const;

  PjlinkLimits limits_;
  std::map<std::uint64_t, Place> places_;
};

// Wrong digests by address: how long each one's answer waits, and the few lines that tell the
// operator about them: the first failure of an address at once, then at most one line a
// minute with the count of those that followed. An address quiet for a minute is forgotten.
class PjlinkFailures {
 public:
  static constexpr std::int64_t kWindowMs = 60000;

  PjlinkFailures(const PjlinkLimits& limits, link::Timer& timer, std::function<std::int64_t()> now,
                 Log log);

  // A wrong digest from `address`: the delay of its answer, in milliseconds.
  int failed(const std::string& address);
  std::size_t addresses() const { return records_.size(); }

 private:
  struct Record {
    std::int64_t windowStart = 0;
    int unreported = 0;
    int streak = 0;
  };
  void tick();
  void arm();

  PjlinkLimits limits_;
  link::Timer& timer_;
  std::function<std::int64_t()> now_;
  Log log_;
  std::map<std::string, Record> records_;
};

}  // namespace mero::serve
