#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "cli/exchange.h"
#include "link/port/port_discovery.h"

namespace mero::cli {

// Exchanges under way at once, at most. Each holds a descriptor or two; asking every projector
// of a large fleet at once ran out of them and starved each exchange's reply window of the
// event loop.
inline constexpr std::size_t kMostInFlight = 64;
// Descriptors left to the program itself (the log, Qt's own, standard streams).
inline constexpr std::size_t kDescriptorReserve = 32;
// Replies kept for projectors that answered before those ahead of them in the output order.
// Past this no further exchange starts until the earlier ones are out, so that memory stays
// bounded however many projectors answer in full at once.
inline constexpr std::size_t kMostHeldBytes = 16 * kReplyLimit;

// A projector to ask: its device (or server address) and the address as it was given.
struct Target {
  link::ComDevice device;
  std::string address;
};

// The exchanges at once a descriptor limit allows, beside those already open: at least one,
// at most kMostInFlight.
std::size_t InFlightFor(std::size_t descriptorLimit, std::size_t descriptorsOpen);
// The same for this process now.
std::size_t InFlightNow();

struct FleetLimits {
  std::size_t inFlight = kMostInFlight;    // exchanges under way at once; at least one runs
  std::size_t heldBytes = kMostHeldBytes;  // replies kept for the output order
};

// Asks every target on the event loop within the limits, starting them in their order, and
// hands each outcome to `report` in the same order as soon as it and those before it have
// ended. Returns once the last one is reported.
void AskFleet(const std::vector<Target>& targets, const ExchangeSetup& setup, FleetLimits limits,
              const std::function<void(std::size_t index, const Outcome&)>& report);

}  // namespace mero::cli
