#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "link/lines/qt_network_line.h"
#include "link/lines/qt_timer.h"
#include "link/port/exchange_engine.h"
#include "link/port/line.h"
#include "link/port/line_settings.h"
#include "link/port/traffic_log.h"

namespace mero::cli {

// The most of a reply that is kept: the exchange engine's bound. Replies are a few bytes to a
// model name; a peer that sends more is not answering, and what it sends beyond this is not
// read at all.
inline constexpr std::size_t kReplyLimit = link::ExchangeLimits{}.replyBytes;

// Descriptors an exchange may hold: the device or socket, the device's lock file, and one to
// spare for what the system opens on the way (a name lookup).
inline constexpr std::size_t kDescriptorsPerExchange = 3;

// How long a device server has to accept the connection: the line's own limit, which runs
// before the reply window and apart from it.
inline constexpr int kConnectLimitMs = link::QtNetworkLine::kConnectLimitMs;

// How one exchange ended.
struct Outcome {
  // How far it came.
  enum class Stage {
    Opening,     // the line could not be opened
    Connecting,  // a device server's connection was not made
    Open,        // open, but the command could not be written
    Sent,        // the command went out
  };
  Stage stage = Stage::Opening;
  // Why it ended before its reply was complete or its window closed.
  std::optional<link::LineFailure> failure;
  // The failure came from this process having no file descriptor left, whatever the line
  // made of it (Qt reports a lock file it cannot create as a busy device); the limit then.
  std::optional<long> descriptorLimit;
  link::Bytes received;  // at most kReplyLimit bytes, from the send on
  bool cut = false;      // more came than kReplyLimit
  double replyMs = 0;    // from the send to the last arrival kept
  // A device server that set the line otherwise than asked, or refused to set it, in the
  // line's words; the first such notice only.
  std::string lineNotice;
};

// What an exchange needs besides its projector.
struct ExchangeSetup {
  link::LineSettings settings;
  link::Bytes text;
  int replyWindowMs = 0;
  link::TrafficLog* log = nullptr;
};

// One command to one projector, on the event loop: open its line (connect, for a device
// server), hand the command to the exchange engine, which sends it and collects its reply,
// then close the line. The window starts at this exchange's own send. Straight on the line
// rather than a reopening one: a headless command never waits for a device to come back, and
// tells connecting apart from replying.
class Exchange {
 public:
  // `address` names the line in the traffic log.
  Exchange(link::ComDevice device, const std::string& address, const ExchangeSetup& setup,
           std::function<void()> done);
  ~Exchange();
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;

  // `done` is called from the event loop once the exchange has ended, never from start().
  void start();
  const Outcome& outcome() const { return outcome_; }
  Outcome takeOutcome() { return std::move(outcome_); }

 private:
  void send();
  bool write(const link::Bytes& text);
  void received();
  void failed(const link::LineFailure& failure);
  void ended(const link::ExchangeResult& result);
  void finish();

  link::ComDevice device_;
  std::string logName_;
  const ExchangeSetup& setup_;
  std::function<void()> done_;
  std::unique_ptr<link::Line> line_;
  link::QtTimer window_;
  link::ExchangeEngine engine_;
  std::chrono::steady_clock::time_point sentAt_;
  Outcome outcome_;
  bool finished_ = false;
};

// Whether this process has too few file descriptors left for an exchange now: the reason a
// line failed, whatever it said. The limit when so.
std::optional<long> OutOfDescriptors();

}  // namespace mero::cli
