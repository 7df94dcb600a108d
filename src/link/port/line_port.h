#pragma once

#include <array>
#include <memory>
#include <string>

#include "link/port/line.h"
#include "link/port/line_settings.h"
#include "link/port/serial_port.h"
#include "link/port/timer.h"

namespace mero::link {

inline constexpr int kFirstPortNumber = 1;
inline constexpr int kLastPortNumber = 2;

// A device that refuses, a server that cannot be reached and a line lost soon after it opened
// are tried again after this long, twice as long after each failure, up to the longest wait.
inline constexpr int kFirstRetryMs = 1000;
inline constexpr int kLongestRetryMs = 30000;
// A line that stays open this long was a good one: the next loss starts the waits afresh.
inline constexpr int kSettledMs = 10000;

// The timers the port's waits run on: `retry` for the next attempt, `settle` for how long a
// line has been open. Both are used one tick at a time.
struct PortTimers {
  Timer& retry;
  Timer& settle;
};

// The serial port the panel and the headless commands use, over lines from a host: the
// devices behind COM1 and COM2, the choice of one, the settings, the reopening of a lost port
// and every text the operator reads about it. Plain code driven by the lines' reports, the
// host's news of devices and two timers.
class LinePort : public SerialPort {
 public:
  LinePort(ComDevice com1, ComDevice com2, LineHost& host, PortTimers timers);
  ~LinePort() override;
  LinePort(const LinePort&) = delete;
  LinePort& operator=(const LinePort&) = delete;

  // 1 or 2; fails while the port is open.
  bool setPortNumber(int number) override;
  int portNumber() const override { return number_; }
  bool setSettings(const std::string& settings) override;
  bool open() override;
  // Closing a closed port succeeds and does nothing.
  bool close() override;
  bool isOpen() const override;
  bool write(const Bytes& text) override;
  Bytes takeAll() override;
  PortFailure lastFailure() const override { return failure_; }
  void reopenWhenBack(int number) override;
  bool isWatching() const override { return waiting_ != 0; }

  // The device behind COM<number>; an empty one for other numbers.
  const ComDevice& device(int number) const;
  // Looks through the machine's ports for each COM that has none yet and is neither open nor
  // waited for, as opening it would.
  void findMissingPorts();
  // The device of the chosen COM as the operator reads it.
  std::string shownDevice() const;

 private:
  Line& lineOf(int number);
  bool openChosen();
  void adoptFoundPort(int number);
  void attempt();
  void attemptFailed(const LineFailure& failure);
  void scheduleRetry();
  void stopWaiting();
  void opened();
  void onLineOpened(int number);
  void onLineFailed(int number, const LineFailure& failure);
  void notice(const std::string& text);
  std::string label() const;
  std::string describe(const LineFailure& failure, int number) const;
  bool fail(std::string description, bool absent = false);

  LineHost& host_;
  PortTimers timers_;
  std::array<ComDevice, kLastPortNumber> devices_;
  std::array<std::unique_ptr<Line>, kLastPortNumber> lines_;
  // A line given up for another device; kept until the next change, so that no line is
  // deleted inside its own report.
  std::unique_ptr<Line> retired_;
  LineSettings settings_;
  std::string settingsText_;
  int number_ = kFirstPortNumber;
  bool open_ = false;
  int waiting_ = 0;  // the COM being waited for; 0: none
  int nextWaitMs_ = kFirstRetryMs;
  PortFailure failure_;
  std::string lastNotice_;
};

}  // namespace mero::link
