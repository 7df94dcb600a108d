#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "serve/log.h"

namespace mero::serve {

// Whether `journalStream` ($JOURNAL_STREAM, "DEVICE:INODE" in decimal, as systemd sets it)
// names the stream open at `fd`. A child that inherited the variable but writes elsewhere (a
// pipe to a script, a file) gets plain lines.
bool NamesStream(const char* journalStream, int fd);

// The line as it leaves the service, its line feed included. The journal reads the priority
// from a "<N>" prefix and notes the program's name itself; a terminal or a file gets the name
// instead. Control characters are shown as \xNN, so that no text of a peer can start a line of
// its own, and a line longer than kLongestLine is cut.
inline constexpr std::size_t kLongestLine = 2048;
std::string LogLineText(Priority priority, std::string_view text, bool journal);

// The service's log on a stream that is never waited for: what the stream does not take at
// once waits, in order, up to kWaitingBound bytes, and goes out with the next line or flush().
// Lines that find no room are dropped and counted, and a Warning says how many once the stream
// takes lines again.
class LogSink {
 public:
  static constexpr std::size_t kWaitingBound = std::size_t{64} * 1024;
  // Takes what it can of the bytes at once: how many it took, 0 for none.
  using Output = std::function<std::size_t(std::string_view)>;

  LogSink(Output output, bool journal) : output_(std::move(output)), journal_(journal) {}

  void log(Priority priority, const std::string& text);
  void flush();

  bool hasWaiting() const { return !waiting_.empty(); }
  std::size_t dropped() const { return dropped_; }

  // Lines start to wait (true) or none waits any more (false).
  std::function<void(bool waiting)> onWaiting;

 private:
  void add(std::string line);

  Output output_;
  bool journal_;
  std::deque<std::string> waiting_;
  std::size_t frontTaken_ = 0;  // of the first waiting line
  std::size_t waitingBytes_ = 0;
  std::size_t dropped_ = 0;     // in all
  std::size_t unreported_ = 0;  // dropped since the last Warning about it
  bool toldWaiting_ = false;
};

// An Output onto the process's standard error that never blocks, and its descriptor, for a
// notifier that calls flush() when it can take more.
struct StderrOutput {
  LogSink::Output output;
  int descriptor = 2;
};
StderrOutput MakeStderrOutput();

}  // namespace mero::serve
