#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "link/port/line.h"
#include "link/port/timer.h"
#include "link/protocol/bytes.h"

namespace mero::link {

// How one exchange with a projector ended.
struct ExchangeResult {
  enum class Kind {
    Reply,     // a reply ending with CR came within the window
    NoReply,   // nothing whole came within the window
    LineDown,  // the line is not open, or went away during the exchange
    Busy,      // too many exchanges wait for this projector already
    Cut,       // the reply reached the bound before its CR
  };
  static constexpr std::size_t kKinds = 5;

  Kind kind = Kind::LineDown;
  Bytes reply;    // what came from the send on, the CR included; at most the reply bound
  double ms = 0;  // from the send to the end
};

// One command to send and how long its reply may take.
struct ExchangeRequest {
  Bytes text;        // as it goes on the line, its CR included
  int windowMs = 0;  // from the send to the end of the reply
  // A status query: several askers within one window share one exchange and its answer.
  bool shared = false;
};

// The request for a command code of the tables: its text, the reply window the headless
// commands give it, and whether it is a status query. A code the tables do not know gets the
// longest window any command has.
ExchangeRequest RequestForCode(std::string_view code);

// The bounds of one engine. A projector's replies are a few bytes to a model name; each
// PJLink client has one request out at a time and the poll a few, so a longer queue means the
// projector is far slower than its clients and further requests are turned away at once.
struct ExchangeLimits {
  std::size_t replyBytes = 1024;
  std::size_t waiting = 128;
  // After an exchange that ended without its reply, the projector may still be answering it:
  // the next command goes out only once the line has been silent this long (bytes that come
  // meanwhile are dropped and start the silence again), so a late reply never answers the
  // next command. A late reply was seen 200 ms after its window; half a second covers it with
  // room and costs a poll little. A line that never falls silent waits at most `longestQuietMs`.
  int quietMs = 500;
  int longestQuietMs = 3000;
};

class ReopeningLine;

// Where exchanges with one projector are asked for. `done` may be called before exchange()
// returns (an answer still fresh, a line that is down, a full queue).
class Exchanges {
 public:
  using Done = std::function<void(const ExchangeResult&)>;
  virtual ~Exchanges() = default;
  virtual void exchange(std::string_view code, Done done) = 0;
};

// One line to one projector, one exchange at a time: a command goes out when the line is
// free, its reply is collected up to its CR within the command's window, and the result goes
// to every asker. Bytes that come while no exchange waits for them are dropped. Plain code over
// a write function, one timer and a millisecond clock; the owner hands in what the line
// receives and tells when it goes up or down.
class ExchangeEngine : public Exchanges {
 public:
  ExchangeEngine(std::function<bool(const Bytes&)> write, Timer& timer,
                 std::function<double()> nowMs, ExchangeLimits limits = {});
  // On a reopening line: commands go out on it, what it receives comes in, and its ups and
  // downs open and close the engine; its reports go on through onLineUp, onLineDown and
  // onLineNotice.
  ExchangeEngine(ReopeningLine& line, Timer& timer, std::function<double()> nowMs,
                 ExchangeLimits limits = {});
  ~ExchangeEngine() override;
  ExchangeEngine(const ExchangeEngine&) = delete;
  ExchangeEngine& operator=(const ExchangeEngine&) = delete;

  // `done` may be called before exchange() returns: a shared answer still fresh, a line that
  // is down, a full queue.
  void exchange(ExchangeRequest request, Done done);
  void exchange(std::string_view code, Done done) override {
    exchange(RequestForCode(code), std::move(done));
  }

  void received(const Bytes& bytes);
  // While the line is down every exchange ends at once as LineDown.
  void setLineUp(bool up);
  bool lineUp() const { return lineUp_; }
  std::size_t waiting() const { return waiting_.size(); }

  // Every exchange once it has ended, its text and result: those that went to the projector
  // and those refused because the line was down or the queue full; not an answer shared.
  std::function<void(const Bytes& text, const ExchangeResult&)> onExchanged;
  // The reopening line's reports, once the engine has taken them into account.
  std::function<void()> onLineUp;
  std::function<void(const LineFailure&)> onLineDown;
  std::function<void(const std::string&)> onLineNotice;

 private:
  enum class State { Idle, Collecting, Quieting };
  struct Pending {
    ExchangeRequest request;
    std::vector<Done> askers;
  };
  struct Fresh {
    double at = 0;
    ExchangeResult result;
  };

  bool joined(const ExchangeRequest& request, Done& done);
  void startNext();
  void finish(ExchangeResult::Kind kind);
  void refuse(const Bytes& text, ExchangeResult::Kind kind, Done& done);
  void timerTicked();
  void quietFor(int ms);

  std::function<bool(const Bytes&)> write_;
  ReopeningLine* line_ = nullptr;
  Timer& timer_;
  std::function<double()> nowMs_;
  ExchangeLimits limits_;
  bool lineUp_ = false;
  State state_ = State::Idle;
  Pending current_;
  Bytes reply_;
  double sentAt_ = 0;
  double quietSince_ = 0;
  std::deque<Pending> waiting_;
  std::map<Bytes, Fresh, std::less<>> fresh_;
};

}  // namespace mero::link
