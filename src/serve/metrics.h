#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/port/exchange_engine.h"
#include "link/protocol/status.h"

namespace mero::serve {

using link::ExchangeResult;

// Exchange times are counted into these buckets, in seconds.
inline constexpr std::array<double, 9> kExchangeBuckets{0.01, 0.025, 0.05, 0.1, 0.25,
                                                        0.5,  1.0,   2.5,  5.0};

// How long the exchanges that went to one projector took.
struct ExchangeTimes {
  std::array<std::uint64_t, kExchangeBuckets.size()> buckets{};  // not cumulative
  std::uint64_t count = 0;
  double seconds = 0;

  void add(const ExchangeResult& result);
};

// What is known of one projector, for the metrics page.
struct ProjectorFigures {
  std::string id;       // its section
  std::string name;     // its PJLink NAME
  std::string address;  // its line
  std::string pjlink;   // where its PJLink server listens
  bool lineUp = false;
  // Whether the last poll was answered in full; false once a poll ends without every reply
  // or the line goes down. Only then is `status` told as the projector's present state.
  bool answering = false;
  link::ProjectorStatus status;           // as its replies last told it
  std::optional<double> lastPollSeconds;  // Unix time of the last poll answered in full
  // Exchanges by how they ended, in the order of ExchangeResult::Kind.
  std::array<std::uint64_t, ExchangeResult::kKinds> exchanges{};
  ExchangeTimes times;
  std::uint64_t pjlinkRequests = 0;  // answered
  // Unix time the maintenance client connected; none while no client holds the port.
  std::optional<double> maintenanceSince;
  // The maintenance client's commands by how their exchange ended.
  std::array<std::uint64_t, ExchangeResult::kKinds> maintenanceCommands{};
  std::uint64_t maintenanceRefused = 0;  // newcomers turned away while the port was held
};
// Why a PJLink client was closed or turned away, in the order of kPjlinkRefusalNames.
enum class PjlinkRefusal {
  WrongDigest,
  NoDigest,
  NotPjlink,
  TooMuch,      // a line over the limit, or lines far ahead of their answers
  Unsent,       // answers not taken
  NoRequest,    // nothing asked within the time after the greeting
  CrowdedOut,   // unauthenticated, closed for a newcomer
  AddressFull,  // a newcomer from an address that holds its share
  ServerFull,   // a newcomer with every place authenticated
};
inline constexpr std::array<std::string_view, 9> kPjlinkRefusalNames{
    "wrong_digest", "no_digest",   "not_pjlink",   "too_much",   "unsent",
    "no_request",   "crowded_out", "address_full", "server_full"};

// The service's own figures.
struct ServiceFigures {
  std::string version;
  std::array<std::uint64_t, kPjlinkRefusalNames.size()> pjlinkRefusedBy{};
  std::uint64_t pjlinkAcceptPauses = 0;  // accepting stopped for want of descriptors
  std::uint64_t httpRefused = 0;         // HTTP requests and connections refused at a bound
  std::uint64_t httpIdleClosed = 0;
  std::uint64_t webStreams = 0;        // event streams of the web page open now
  std::uint64_t webStreamsClosed = 0;  // closed at a bound: crowded out, or not read
  std::uint64_t webUnauthorized = 0;   // changes refused for want of the token

  void refuse(PjlinkRefusal why) { ++pjlinkRefusedBy[static_cast<std::size_t>(why)]; }
};

// Folds what an exchange told into the projector's figures.
void Record(ProjectorFigures& figures, std::string_view code, const ExchangeResult& result);

// The Prometheus text exposition format (version 0.0.4) of all figures.
std::string RenderMetrics(const std::vector<const ProjectorFigures*>& projectors,
                          const ServiceFigures& service);

}  // namespace mero::serve
