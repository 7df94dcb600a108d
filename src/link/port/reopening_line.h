#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "link/port/line.h"
#include "link/port/line_settings.h"
#include "link/port/port_discovery.h"
#include "link/port/timer.h"

namespace mero::link {

// A device that refuses, a server that cannot be reached and a line lost soon after it opened
// are tried again after this long, twice as long after each failure, up to the longest wait.
inline constexpr int kFirstRetryMs = 1000;
inline constexpr int kLongestRetryMs = 30000;
// A line that stays open this long was a good one: the next loss starts the waits afresh.
inline constexpr int kSettledMs = 10000;

// `retry` for the next attempt, `settle` for how long the line has been up; both are used one
// tick at a time.
struct ReopeningTimers {
  Timer& retry;
  Timer& settle;
};

// One line to one address, kept open: a line that is lost or refused is tried again with
// growing pauses, and a device that is away is tried when it appears. Plain code driven by the
// line's reports, the host's news of devices and two timers.
//
// start() may report at once what its first attempt gave, and openOnce() an open that succeeded
// at once; nothing is reported after stop() or once destruction began. It must not be destroyed
// from inside its own reports: its line is still reporting then.
class ReopeningLine {
 public:
  ReopeningLine(ComDevice device, LineSettings settings, LineHost& host, ReopeningTimers timers);
  ~ReopeningLine();
  ReopeningLine(const ReopeningLine&) = delete;
  ReopeningLine& operator=(const ReopeningLine&) = delete;

  // Open now, and keep it open: reopen with back-off when lost or refused, until stop().
  void start();
  // Close, stop waiting; no report after it.
  void stop();
  // One attempt now, made again by nobody: Failed leaves the reason in failure() and reports
  // nothing; a Pending attempt that fails, and a later loss, are reported through onDown and
  // then waited for only if reopenWhenBack() is called. Writes made while it is Pending go out
  // once it opens.
  Line::Opening openOnce();
  // Waits for the line to come back and opens it once: the first attempt on the next turn of
  // the event loop, or after the next pause when the line was lost soon after it opened.
  void reopenWhenBack();

  bool isUp() const { return up_; }
  // Waiting for the line to come back: a pause runs, or its device is awaited.
  bool isWaiting() const { return waiting_; }
  // False when not up or the line refuses.
  bool write(const Bytes& bytes);
  // Takes effect at once on an open line and at every later opening; false, with the reason
  // in failure(), when the open line refuses them (they are not kept then).
  bool apply(const LineSettings& settings);
  // Why the last attempt or write failed.
  LineFailure failure() const { return line_->failure(); }
  const ComDevice& device() const { return device_; }

  std::function<void(const Bytes&)> onReceived;
  // Opened or reopened.
  std::function<void()> onUp;
  // Lost, or an attempt failed for a new reason (once per distinct reason while waiting).
  std::function<void(const LineFailure&)> onDown;
  // The line's own notices (a server that set the line otherwise than asked).
  std::function<void(const std::string&)> onNotice;

 private:
  void claim();
  void release();
  void beginWait();
  void stopWaiting();
  void attempt();
  void attemptFailed(const LineFailure& failure);
  void scheduleRetry();
  void becameUp();
  void lineFailed(const LineFailure& failure);
  void down(const LineFailure& failure);

  ComDevice device_;
  LineSettings settings_;
  LineHost& host_;
  ReopeningTimers timers_;
  std::unique_ptr<Line> line_;
  // Whether the timers and the host's news are this line's: taken by whatever starts it, so
  // that lines that take turns on one pair of timers do not undo each other's.
  bool claimed_ = false;
  bool keep_ = false;        // reopened after every loss, until stop()
  bool waiting_ = false;     // a pause runs or the device is awaited
  bool attempting_ = false;  // an attempt is pending
  bool writesWait_ = false;  // the pending attempt is openOnce()'s
  bool up_ = false;
  int nextWaitMs_ = kFirstRetryMs;
  // The reason last reported while down; cleared once up.
  std::optional<LineFailure> lastReason_;
};

}  // namespace mero::link
