#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "link/lines/qt_port.h"
#include "link/lines/qt_timer.h"
#include "link/port/traffic_log.h"

namespace mero::cli {

// How one exchange ended.
struct Outcome {
  bool portOpened = false;
  std::string failure;   // why the port could not be opened or written, or was lost
  link::Bytes received;  // everything received within the reply window
  double replyMs = 0;    // from the send to the last arrival
};

// One command to one projector, on the event loop: open the port, send, collect what arrives
// until the reply is complete (it ends with a CR) or the reply window closes, then close the
// port. Replies are kept as the panel keeps them, one text of everything received.
class Exchange {
 public:
  Exchange(const link::ComDevice& device, std::string settings, link::Bytes text, int replyWindowMs,
           link::TrafficLog* log, std::function<void()> done);
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;

  // `done` is called from the event loop once the exchange has ended, never from start().
  void start();
  const Outcome& outcome() const { return outcome_; }

 private:
  void received();
  void finish();

  link::QtPort port_;
  link::LoggedPort logged_;
  link::QtTimer window_;
  std::string settings_;
  link::Bytes text_;
  int replyWindowMs_;
  std::function<void()> done_;
  std::chrono::steady_clock::time_point sentAt_;
  Outcome outcome_;
  bool finished_ = false;
};

}  // namespace mero::cli
