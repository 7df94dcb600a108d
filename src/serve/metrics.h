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

// What is known of one projector, for the metrics page.
struct ProjectorFigures {
  std::string name;
  bool lineUp = false;
  link::ProjectorStatus status;           // as its replies last told it
  std::optional<double> lastPollSeconds;  // Unix time of the last poll answered in full
  // Exchanges by how they ended, in the order of ExchangeResult::Kind.
  std::array<std::uint64_t, ExchangeResult::kKinds> exchanges{};
};

// Exchange times are counted into these buckets, in seconds.
inline constexpr std::array<double, 9> kExchangeBuckets{0.01, 0.025, 0.05, 0.1, 0.25,
                                                        0.5,  1.0,   2.5,  5.0};

// The service's own figures.
struct ServiceFigures {
  std::array<std::uint64_t, kExchangeBuckets.size()> buckets{};  // not cumulative
  std::uint64_t exchanges = 0;
  double exchangeSeconds = 0;
  std::uint64_t pjlinkRequests = 0;
  std::uint64_t pjlinkRefused = 0;  // connections closed for a wrong digest or a bad line
  std::uint64_t httpRefused = 0;    // HTTP requests and connections refused at a bound
  std::uint64_t httpIdleClosed = 0;

  void count(const ExchangeResult& result);
};

// Folds what an exchange told into the projector's figures.
void Record(ProjectorFigures& figures, std::string_view code, const ExchangeResult& result);

// The Prometheus text exposition format (version 0.0.4) of all figures.
std::string RenderMetrics(const std::vector<const ProjectorFigures*>& projectors,
                          const ServiceFigures& service);

}  // namespace mero::serve
