#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "link/port/timer.h"
#include "link/protocol/bytes.h"
#include "panel/serial_port.h"

namespace mero::serve {

// How one exchange with a projector ended.
struct ExchangeResult {
  enum class Kind {
    Reply,     // a reply ending with CR came (or the reply bound was reached)
    NoReply,   // nothing whole came within the reply window
    LineDown,  // the line is not open, or went away during the exchange
    Busy,      // too many exchanges wait for this projector already
  };
  Kind kind = Kind::LineDown;
  link::Bytes reply;  // what came, the CR included; at most kMostReplyBytes
  double ms = 0;      // from the send to the end
};

// Where exchanges with one projector are asked for. `done` may be called before exchange()
// returns (an answer still fresh, a line that is down, a full queue).
class ProjectorLink {
 public:
  virtual ~ProjectorLink() = default;
  virtual void exchange(std::string_view code, std::function<void(const ExchangeResult&)> done) = 0;
};

// Exchanges that may wait for one projector besides the one under way. Each PJLink client has
// one request out at a time and the poll a few, so a queue this long means the projector is
// far slower than its clients: further requests are turned away at once.
inline constexpr std::size_t kMostWaitingExchanges = 128;
// The most of one reply that is kept; a projector's replies are a few bytes to a model name.
inline constexpr std::size_t kMostReplyBytes = 1024;

// The reply window an exchange of `code` gets: the one the headless commands give it.
int ReplyWindowForCode(std::string_view code);

// One projector's line, one exchange at a time: the command goes out, whatever was waiting
// on the line is dropped first, and the reply is read until its CR or the end of its window.
// A status query asked while the same query waits or is under way, or whose answer is not
// older than its reply window, is not asked again: the one answer goes to every asker.
// Plain code over the port, a timer for the reply window and a millisecond clock.
class ProjectorQueue : public ProjectorLink {
 public:
  ProjectorQueue(link::SerialPort& port, link::Timer& window, std::function<std::int64_t()> nowMs);

  void exchange(std::string_view code, std::function<void(const ExchangeResult&)> done) override;

  // The owner tells when the line opens or goes away; while it is down every exchange ends
  // at once as LineDown.
  void setLineUp(bool up);
  bool lineUp() const { return lineUp_; }
  // Bytes wait on the port.
  void arrived();

  // Every exchange that went to the projector, once it has ended.
  std::function<void(std::string_view code, const ExchangeResult&)> onExchanged;

 private:
  struct Pending {
    std::string code;
    std::vector<std::function<void(const ExchangeResult&)>> askers;
  };
  struct Fresh {
    std::int64_t at = 0;
    ExchangeResult result;
  };

  bool joinedWaiting(std::string_view code, std::function<void(const ExchangeResult&)>& done);
  void startNext();
  void finish(ExchangeResult::Kind kind);
  void failAll(ExchangeResult::Kind kind);

  link::SerialPort& port_;
  link::Timer& window_;
  std::function<std::int64_t()> nowMs_;
  bool lineUp_ = false;
  bool busy_ = false;
  Pending current_;
  link::Bytes reply_;
  std::int64_t sentAt_ = 0;
  std::deque<Pending> waiting_;
  std::map<std::string, Fresh, std::less<>> fresh_;
};

}  // namespace mero::serve
