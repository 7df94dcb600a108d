#include "serve/answer_watch.h"

#include <utility>

namespace mero::serve {

std::optional<AnswerWatch::Change> AnswerWatch::exchanged(const link::ExchangeResult& result,
                                                          double nowMs, double wallSeconds) {
  using Kind = link::ExchangeResult::Kind;
  switch (result.kind) {
    case Kind::LineDown:
    case Kind::Busy:
      return std::nullopt;
    case Kind::Reply: {
      const bool wasTold = std::exchange(told_, false);
      const Change change{true, unanswered_, sinceWall_, nowMs - sinceMs_};
      unanswered_ = 0;
      if (!wasTold) return std::nullopt;
      return change;
    }
    case Kind::NoReply:
    case Kind::Cut:
      break;
  }
  if (unanswered_ == 0) {
    sinceMs_ = nowMs - result.ms;
    sinceWall_ = wallSeconds - result.ms / 1000.0;
  }
  ++unanswered_;
  if (told_ || (unanswered_ < limits_.exchanges && nowMs - sinceMs_ < limits_.ms)) {
    return std::nullopt;
  }
  told_ = true;
  return Change{false, unanswered_, sinceWall_, nowMs - sinceMs_};
}

}  // namespace mero::serve
