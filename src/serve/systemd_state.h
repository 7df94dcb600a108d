#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "serve/service_summary.h"

namespace mero::serve {

// "3 projectors, 3 lines open, 2 answering, 4 PJLink clients".
std::string StatusLine(const ServiceSummary& summary);

// How often the event loop tells systemd that it runs: half of WATCHDOG_USEC, when
// WATCHDOG_PID is unset or names this process; nothing when either is unset, zero or not a
// number.
std::optional<std::chrono::milliseconds> WatchdogPeriod(const char* usec, const char* pid,
                                                        long self);

// The socket address NOTIFY_SOCKET names, as sockaddr_un's sun_path takes it: a path, or an
// abstract name ('@' there) with its leading NUL. Nothing for other kinds of address, and for
// one that does not fit.
std::optional<std::string> NotifyAddress(const char* variable);

// What systemd is told of the service: ready, reloading or stopping, with a status line. Each
// change goes as one datagram; one that could not be sent (the manager's queue full) goes
// with the next change or refresh(), so that no send ever waits.
class SystemdState {
 public:
  // Sends one datagram without waiting; false when it was not sent.
  using Send = std::function<bool(const std::string&)>;

  // A note in the status line is cut to this many bytes.
  static constexpr std::size_t kMostNote = 200;

  explicit SystemdState(Send send) : send_(std::move(send)) {}

  // Serving; the status line carries `note` (a reload refused, say) until the next ready().
  void ready(const ServiceSummary& summary, std::string_view note = {});
  void reloading(std::uint64_t monotonicUsec);
  void stopping();
  // The status line anew when the summary changed, and whatever could not be sent before.
  void refresh(const ServiceSummary& summary);
  bool watchdog() { return send_("WATCHDOG=1"); }

 private:
  enum class Phase { Starting, Ready, Reloading, Stopping };

  void flush();
  std::string status() const;

  Send send_;
  Phase phase_ = Phase::Starting;
  Phase sentPhase_ = Phase::Starting;
  std::uint64_t reloadUsec_ = 0;
  ServiceSummary summary_;
  std::string note_;
  std::string sentStatus_;
};

}  // namespace mero::serve
