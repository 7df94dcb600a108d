#pragma once

#include <cstddef>
#include <optional>

#include "link/port/exchange_engine.h"

namespace mero::serve {

// When a projector counts as not answering: this many exchanges in a row without a reply, or
// fewer spread over this long (a slow poll asks seldom). A poll asks several things at once,
// so one poll of a frozen projector is enough; a single reply lost to noise is not.
struct AnswerLimits {
  std::size_t exchanges = 3;
  double ms = 20000;
};

// Whether a projector answers, from the exchanges that went to it: one change when it stops
// and one when it answers again, however many exchanges the episode holds. A line that is down
// or a full queue says nothing of the projector and changes nothing here; a reply cut at its
// bound is no answer. Plain code: the
// caller hands in its clocks' times.
class AnswerWatch {
 public:
  struct Change {
    bool answers = false;
    std::size_t unanswered = 0;   // exchanges without a reply so far
    double sinceWallSeconds = 0;  // when the first of them was sent
    double silentMs = 0;          // answers: from that send to this reply
  };

  explicit AnswerWatch(AnswerLimits limits = {}) : limits_(limits) {}

  // `nowMs` on a monotonic clock, `wallSeconds` the same moment since the epoch.
  std::optional<Change> exchanged(const link::ExchangeResult& result, double nowMs,
                                  double wallSeconds);

  bool silent() const { return told_; }

 private:
  AnswerLimits limits_;
  std::size_t unanswered_ = 0;
  double sinceMs_ = 0;
  double sinceWall_ = 0;
  bool told_ = false;
};

}  // namespace mero::serve
