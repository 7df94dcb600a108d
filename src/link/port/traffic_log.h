#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "link/protocol/bytes.h"

namespace mero::link {

enum class Direction { Sent, Received };

// The bytes in hexadecimal: two upper-case digits each, separated by blanks.
std::string Hex(std::string_view bytes);

// One line of the traffic log, without its line feed: five fields separated by tabs, the time
// in UTC (ISO 8601 with milliseconds), the port, "TX" or "RX", the bytes in hexadecimal and
// their monitor text. No field holds a tab: the port is shown with control characters escaped
// and the monitor text has none.
std::string LogLine(std::chrono::system_clock::time_point at, std::string_view port,
                    Direction direction, std::string_view bytes);

// A file that traffic lines are appended to, never waited for: a pipe whose reader falls
// behind, or a file that fails, must not hold up the line, the window or the end of a command.
// Each line goes to the file in one write when the file takes it at once (a regular file
// always does), so that every line written is whole whatever happens to the program
// afterwards. Lines the file does not take at once wait, in order, until it does: up to
// kWaitingBound bytes of them, and the rest of a line the file took the start of. Lines that
// cannot be written (the waiting ones full, a failing file, a reader gone) are counted as lost.
class TrafficLog {
 public:
  static constexpr std::size_t kWaitingBound = std::size_t{1} << 20;

  // The file is created if need be; nullptr and a reason when it cannot be opened for writing.
  // Opening does not wait: a pipe with no reader yet is refused.
  static std::unique_ptr<TrafficLog> Open(const std::string& path, std::string* error);
  ~TrafficLog();
  TrafficLog(const TrafficLog&) = delete;
  TrafficLog& operator=(const TrafficLog&) = delete;

  // Nothing is written for no bytes. Lines waiting go first.
  void record(std::string_view port, Direction direction, std::string_view bytes);
  // Writes as much of the waiting lines as the file takes now.
  void flush();

  int descriptor() const { return fd_; }
  bool hasWaiting() const { return !waiting_.empty(); }
  std::size_t linesLost() const { return lost_; }
  // Lost, and waiting still: what the file misses if the program ends now.
  std::size_t linesMissing() const { return lost_ + waiting_.size(); }
  // "N lines are missing from the log PATH: why", for the end of a command.
  std::string missingText() const;

  // Once, at the first line lost, with a notice for the operator.
  std::function<void(const std::string& notice)> onLoss;
  // Lines start to wait (true) or none waits any more (false).
  std::function<void(bool waiting)> onWaiting;

 private:
  TrafficLog(int fd, std::string shownPath, bool pipeLike)
      : fd_(fd), shownPath_(std::move(shownPath)), pipeLike_(pipeLike) {}
  void wait(std::string line, std::size_t written);
  void lose(std::size_t lines, int error);

  int fd_;
  std::string shownPath_;
  bool pipeLike_;
  std::deque<std::string> waiting_;
  std::size_t frontWritten_ = 0;  // of the first waiting line
  std::size_t waitingBytes_ = 0;
  std::size_t lost_ = 0;
  std::string lossReason_;  // of the first loss
};

}  // namespace mero::link
