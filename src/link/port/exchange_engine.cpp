#include "link/port/exchange_engine.h"

#include <algorithm>
#include <utility>

#include "link/port/reopening_line.h"
#include "link/protocol/commands.h"

namespace mero::link {
namespace {

constexpr char kReplyEnd = '\r';

int LongestWindow() {
  int longest = ReplyWindowOf(kTypedTiming);
  for (const StatusQuery& query : StatusQueries()) {
    longest = std::max(longest, ReplyWindowOf(query.timing));
  }
  for (const OneShotCommand& command : OneShotCommands()) {
    longest = std::max(longest, ReplyWindowOf(command.timing));
  }
  return longest;
}

}  // namespace

ExchangeRequest RequestForCode(std::string_view code) {
  if (const StatusQuery* query = FindStatusQueryByCode(code)) {
    return {CommandText("", code), ReplyWindowOf(query->timing), true};
  }
  for (const OneShotCommand& command : OneShotCommands()) {
    if (command.code == code) return {CommandText("", code), ReplyWindowOf(command.timing), false};
  }
  static const int kLongestWindow = LongestWindow();
  return {CommandText("", code), kLongestWindow, false};
}

ExchangeEngine::ExchangeEngine(std::function<bool(const Bytes&)> write, Timer& timer,
                               std::function<double()> nowMs, ExchangeLimits limits)
    : write_(std::move(write)), timer_(timer), nowMs_(std::move(nowMs)), limits_(limits) {
  timer_.onTick = [this] { timerTicked(); };
}

ExchangeEngine::ExchangeEngine(ReopeningLine& line, Timer& timer, std::function<double()> nowMs,
                               ExchangeLimits limits)
    : ExchangeEngine([&line](const Bytes& text) { return line.write(text); }, timer,
                     std::move(nowMs), limits) {
  line_ = &line;
  line.onReceived = [this](const Bytes& bytes) { received(bytes); };
  line.onUp = [this] {
    setLineUp(true);
    if (onLineUp) onLineUp();
  };
  line.onDown = [this](const LineFailure& failure) {
    setLineUp(false);
    if (onLineDown) onLineDown(failure);
  };
  line.onNotice = [this](const std::string& notice) {
    if (onLineNotice) onLineNotice(notice);
  };
}

ExchangeEngine::~ExchangeEngine() {
  if (line_ != nullptr) {
    line_->onReceived = nullptr;
    line_->onUp = nullptr;
    line_->onDown = nullptr;
    line_->onNotice = nullptr;
  }
  timer_.onTick = nullptr;
  timer_.setEnabled(false);
}

void ExchangeEngine::exchange(ExchangeRequest request, Done done) {
  if (!lineUp_) {
    refuse(request.text, ExchangeResult::Kind::LineDown, done);
    return;
  }
  if (request.shared) {
    const auto fresh = fresh_.find(request.text);
    if (fresh != fresh_.end() && nowMs_() - fresh->second.at <= request.windowMs) {
      done(fresh->second.result);
      return;
    }
    if (joined(request, done)) return;
  }
  if (waiting_.size() >= limits_.waiting) {
    refuse(request.text, ExchangeResult::Kind::Busy, done);
    return;
  }
  waiting_.push_back(Pending{std::move(request), {}});
  waiting_.back().askers.push_back(std::move(done));
  if (state_ == State::Idle) startNext();
}

bool ExchangeEngine::joined(const ExchangeRequest& request, Done& done) {
  if (state_ == State::Collecting && current_.request.text == request.text) {
    current_.askers.push_back(std::move(done));
    return true;
  }
  const auto pending = std::ranges::find(
      waiting_, request.text, [](const Pending& p) -> const Bytes& { return p.request.text; });
  if (pending == waiting_.end()) return false;
  pending->askers.push_back(std::move(done));
  return true;
}

void ExchangeEngine::startNext() {
  while (state_ == State::Idle && lineUp_ && !waiting_.empty()) {
    current_ = std::move(waiting_.front());
    waiting_.pop_front();
    state_ = State::Collecting;
    reply_.clear();
    if (!current_.request.shared) fresh_.clear();  // a command may change any status
    sentAt_ = nowMs_();
    if (!write_(current_.request.text)) {
      finish(ExchangeResult::Kind::LineDown);
      continue;
    }
    timer_.setInterval(current_.request.windowMs);
    timer_.setEnabled(true);
  }
}

void ExchangeEngine::received(const Bytes& bytes) {
  if (state_ == State::Quieting) {
    // Still the answer to an exchange that ended: it goes nowhere, and the silence starts over.
    const double waited = nowMs_() - quietSince_;
    quietFor(std::min(limits_.quietMs, limits_.longestQuietMs - static_cast<int>(waited)));
    return;
  }
  if (state_ != State::Collecting) return;
  const std::size_t room = limits_.replyBytes - reply_.size();
  reply_.append(bytes, 0, std::min(room, bytes.size()));
  // Whole when what came so far ends with a CR: a device server's refusal ("...in use\r\n")
  // is read on to its end and the loss that follows it.
  if (!reply_.empty() && reply_.back() == kReplyEnd) {
    finish(ExchangeResult::Kind::Reply);
  } else if (reply_.size() == limits_.replyBytes) {
    finish(ExchangeResult::Kind::Cut);
  }
}

void ExchangeEngine::timerTicked() {
  timer_.setEnabled(false);
  if (state_ == State::Collecting) {
    finish(ExchangeResult::Kind::NoReply);
  } else if (state_ == State::Quieting) {
    state_ = State::Idle;
    startNext();
  }
}

void ExchangeEngine::quietFor(int ms) {
  state_ = State::Quieting;
  timer_.setInterval(std::max(ms, 0));
  timer_.setEnabled(true);
}

void ExchangeEngine::finish(ExchangeResult::Kind kind) {
  if (state_ != State::Collecting) return;
  timer_.setEnabled(false);
  ExchangeResult result{kind, std::move(reply_), nowMs_() - sentAt_};
  reply_.clear();
  Pending ended = std::move(current_);
  current_ = {};
  state_ = State::Idle;
  if (kind == ExchangeResult::Kind::NoReply || kind == ExchangeResult::Kind::Cut) {
    quietSince_ = nowMs_();
    quietFor(limits_.quietMs);
  }
  if (kind == ExchangeResult::Kind::Reply && ended.request.shared) {
    fresh_[ended.request.text] = Fresh{nowMs_(), result};
  }
  if (onExchanged) onExchanged(ended.request.text, result);
  for (Done& asker : ended.askers) asker(result);
  startNext();
}

void ExchangeEngine::setLineUp(bool up) {
  if (up == lineUp_) return;
  lineUp_ = up;
  if (up) return;
  fresh_.clear();
  std::deque<Pending> waiting = std::move(waiting_);
  waiting_.clear();
  finish(ExchangeResult::Kind::LineDown);
  timer_.setEnabled(false);
  state_ = State::Idle;
  for (Pending& pending : waiting) {
    const ExchangeResult result{ExchangeResult::Kind::LineDown, {}, 0};
    if (onExchanged) onExchanged(pending.request.text, result);
    for (Done& asker : pending.askers) asker(result);
  }
}

void ExchangeEngine::refuse(const Bytes& text, ExchangeResult::Kind kind, Done& done) {
  const ExchangeResult result{kind, {}, 0};
  if (onExchanged) onExchanged(text, result);
  done(result);
}

}  // namespace mero::link
