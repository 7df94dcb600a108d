#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "link/port/exchange_engine.h"
#include "link/port/timer.h"
#include "serve/pjlink_client.h"

namespace mero::serve {

// What one maintenance client may hold of the service. The panel's longest command is a few
// bytes; a technician's terminal types slowly but ends a command within seconds; the panel
// sends one command at a time, a script a few, so a deeper queue means a flood, which the
// kernel holds back instead of us. Replies are a few bytes each: a client that leaves 64 KiB
// untaken reads nothing at all.
struct MaintenanceLimits {
  std::size_t longestCommand = 64;  // bytes before its CR
  int unfinishedMs = 10'000;        // from a command's first byte to its CR
  std::size_t mostWaiting = 32;     // complete commands not yet answered
  std::int64_t mostUnsent = std::int64_t{64} * 1024;
  std::size_t readAtOnce = 512;  // bytes taken from the socket before they are cut up
  int closingMs = 5'000;         // for the last line of a closing connection to be taken
};

// One raw client of a projector's maintenance port. Its bytes are cut into commands at CR and
// each goes to the projector as an exchange of its own, queued behind whatever PJLink and the
// poll asked before it; one at a time, so that a busy client never holds them up by more than
// one exchange. A command's reply goes back to this client alone, in order; an exchange that
// ended without a reply sends nothing, as a silent projector would. An LF right after a CR
// (a terminal's line end) and an empty command are skipped. No idle deadline: a technician's
// panel sits idle for long, and there is only one place to take.
class MaintenanceSession {
 public:
  MaintenanceSession(ClientStream& stream, link::Timer& deadline, link::ExchangeEngine& engine,
                     const MaintenanceLimits& limits);
  ~MaintenanceSession();
  MaintenanceSession(const MaintenanceSession&) = delete;
  MaintenanceSession& operator=(const MaintenanceSession&) = delete;

  void start();

  // Each command once its exchange ended, however it ended.
  std::function<void(const link::ExchangeResult&)> onCommand;
  // The connection is closed, once: why, or empty when the client left by itself.
  std::function<void(const std::string& why)> onClosed;

 private:
  void pump();
  void readAndCut();
  bool cut(char byte);
  void send();
  void answered(const link::ExchangeResult& result);
  void close(const std::string& why, bool tell);
  void gone();

  ClientStream& stream_;
  link::Timer& deadline_;
  link::ExchangeEngine& engine_;
  const MaintenanceLimits& limits_;
  std::string in_;       // read and not yet cut, at most one read's worth
  std::string partial_;  // the command begun
  bool afterCr_ = false;
  std::deque<std::string> waiting_;
  bool inFlight_ = false;
  bool inputEnded_ = false;
  bool pumping_ = false;
  bool again_ = false;
  bool closing_ = false;
  bool closed_ = false;
  std::string why_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace mero::serve
