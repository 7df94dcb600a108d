#include "serve/pjlink_admission.h"

#include <algorithm>
#include <utility>

namespace mero::serve {
namespace {

// Where the failures of addresses beyond the remembered ones are counted.
constexpr std::string_view kOthers = "other addresses";
// Doubling stops here long before the longest delay could overflow.
constexpr int kMostDoublings = 16;

}  // namespace

PjlinkAdmission::Decision PjlinkAdmission::admit(std::uint64_t id, const std::string& address) {
  const auto count = [&](auto&& which) {
    return std::ranges::count_if(places_, [&](const auto& entry) { return which(entry.second); });
  };
  if (count([&](const Place& p) { return p.address == address; }) >= limits_.mostPerAddress) {
    return {PjlinkRefusal::AddressFull, std::nullopt};
  }
  Decision decision;
  const auto unauthenticated = count([](const Place& p) { return !p.authenticated; });
  if (unauthenticated >= limits_.mostUnauthenticated ||
      std::cmp_greater_equal(places_.size(), limits_.mostClients)) {
    decision.evicted = victim();
    if (!decision.evicted) return {PjlinkRefusal::ServerFull, std::nullopt};
    places_.erase(*decision.evicted);
  }
  places_.emplace(id, Place{address, false});
  return decision;
}

void PjlinkAdmission::authenticated(std::uint64_t id) {
  const auto it = places_.find(id);
  if (it != places_.end()) it->second.authenticated = true;
}

// The oldest unauthenticated client of the address that holds most of them: a newcomer's
// place comes out of a flood's share, never out of a lone controller's while a flood is on.
std::optional<std::uint64_t> PjlinkAdmission::victim() const {
  std::map<std::string_view, std::pair<int, std::uint64_t>> byAddress;  // count, oldest
  for (const auto& [id, place] : places_) {
    if (place.authenticated) continue;
    auto [it, fresh] = byAddress.try_emplace(place.address, 0, id);
    ++it->second.first;
  }
  std::optional<std::uint64_t> chosen;
  int most = 0;
  for (const auto& [address, held] : byAddress) {
    if (held.first > most || (held.first == most && chosen && held.second < *chosen)) {
      most = held.first;
      chosen = held.second;
    }
  }
  return chosen;
}

PjlinkFailures::PjlinkFailures(const PjlinkLimits& limits, link::Timer& timer,
                               std::function<std::int64_t()> now, Log log)
    : limits_(limits), timer_(timer), now_(std::move(now)), log_(std::move(log)) {
  timer_.onTick = [this] { tick(); };
}

int PjlinkFailures::failed(const std::string& address) {
  const bool known = records_.contains(address);
  const bool room = known || records_.size() < limits_.mostFailingAddresses;
  const std::string key = room ? address : std::string(kOthers);
  auto [it, fresh] = records_.try_emplace(key);
  Record& record = it->second;
  ++record.streak;
  if (fresh) {
    record.windowStart = now_();
    if (log_) log_(Priority::Warning, "PJLink authentication failed from " + key);
    if (!timer_.isEnabled()) arm();
  } else {
    ++record.unreported;
  }
  const int doublings = std::min(record.streak - 1, kMostDoublings);
  const std::int64_t delay = static_cast<std::int64_t>(limits_.failureDelayMs) << doublings;
  return static_cast<int>(std::min<std::int64_t>(delay, limits_.longestFailureDelayMs));
}

void PjlinkFailures::tick() {
  const std::int64_t now = now_();
  for (auto it = records_.begin(); it != records_.end();) {
    Record& record = it->second;
    if (now - record.windowStart < kWindowMs) {
      ++it;
    } else if (record.unreported == 0) {
      it = records_.erase(it);
    } else {
      if (log_) {
        log_(Priority::Warning, std::to_string(record.unreported) +
                                    " failed authentications from " + it->first +
                                    " in the last minute");
      }
      record.unreported = 0;
      record.windowStart = now;
      ++it;
    }
  }
  arm();
}

void PjlinkFailures::arm() {
  if (records_.empty()) {
    timer_.setEnabled(false);
    return;
  }
  std::int64_t first = records_.begin()->second.windowStart;
  for (const auto& [address, record] : records_) first = std::min(first, record.windowStart);
  timer_.setInterval(static_cast<int>(std::max<std::int64_t>(first + kWindowMs - now_(), 1)));
  timer_.setEnabled(true);
}

}  // namespace mero::serve
