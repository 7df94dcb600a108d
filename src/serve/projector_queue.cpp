#include "serve/projector_queue.h"

#include <utility>

#include "link/protocol/commands.h"

namespace mero::serve {
namespace {

constexpr char kReplyEnd = '\r';

bool IsStatusQuery(std::string_view code) { return link::FindStatusQueryByCode(code) != nullptr; }

}  // namespace

int ReplyWindowForCode(std::string_view code) {
  if (const link::StatusQuery* query = link::FindStatusQueryByCode(code)) {
    return link::ReplyWindowOf(query->timing);
  }
  for (const link::OneShotCommand& command : link::OneShotCommands()) {
    if (command.code == code) return link::ReplyWindowOf(command.timing);
  }
  return link::ReplyWindowOf(link::kTypedTiming);
}

ProjectorQueue::ProjectorQueue(link::SerialPort& port, link::Timer& window,
                               std::function<std::int64_t()> nowMs)
    : port_(port), window_(window), nowMs_(std::move(nowMs)) {
  window_.onTick = [this] {
    window_.setEnabled(false);
    finish(ExchangeResult::Kind::NoReply);
  };
}

void ProjectorQueue::exchange(std::string_view code,
                              std::function<void(const ExchangeResult&)> done) {
  if (!lineUp_) {
    done(ExchangeResult{ExchangeResult::Kind::LineDown, {}, 0});
    return;
  }
  if (IsStatusQuery(code)) {
    const auto fresh = fresh_.find(code);
    if (fresh != fresh_.end() && nowMs_() - fresh->second.at <= ReplyWindowForCode(code)) {
      done(fresh->second.result);
      return;
    }
    if (joinedWaiting(code, done)) return;
  }
  if (waiting_.size() >= kMostWaitingExchanges) {
    done(ExchangeResult{ExchangeResult::Kind::Busy, {}, 0});
    return;
  }
  waiting_.push_back(Pending{std::string(code), {}});
  waiting_.back().askers.push_back(std::move(done));
  if (!busy_) startNext();
}

bool ProjectorQueue::joinedWaiting(std::string_view code,
                                   std::function<void(const ExchangeResult&)>& done) {
  if (busy_ && current_.code == code) {
    current_.askers.push_back(std::move(done));
    return true;
  }
  for (Pending& pending : waiting_) {
    if (pending.code == code) {
      pending.askers.push_back(std::move(done));
      return true;
    }
  }
  return false;
}

void ProjectorQueue::startNext() {
  while (!busy_ && !waiting_.empty()) {
    current_ = std::move(waiting_.front());
    waiting_.pop_front();
    busy_ = true;
    reply_.clear();
    // Whatever came unasked, or after an earlier window closed, is not this reply.
    (void)port_.takeAll();
    if (!IsStatusQuery(current_.code)) fresh_.clear();  // a command may change any status
    sentAt_ = nowMs_();
    if (!port_.write(link::CommandText("", current_.code))) {
      finish(ExchangeResult::Kind::LineDown);
      continue;
    }
    window_.setInterval(ReplyWindowForCode(current_.code));
    window_.setEnabled(true);
  }
}

void ProjectorQueue::arrived() {
  const link::Bytes bytes = port_.takeAll();
  if (!busy_) return;
  const std::size_t room = kMostReplyBytes - reply_.size();
  reply_.append(bytes, 0, std::min(room, bytes.size()));
  if (reply_.size() == kMostReplyBytes || (!reply_.empty() && reply_.back() == kReplyEnd)) {
    window_.setEnabled(false);
    finish(ExchangeResult::Kind::Reply);
  }
}

void ProjectorQueue::finish(ExchangeResult::Kind kind) {
  if (!busy_) return;
  busy_ = false;
  ExchangeResult result{kind, std::move(reply_), static_cast<double>(nowMs_() - sentAt_)};
  reply_.clear();
  Pending ended = std::move(current_);
  current_ = {};
  if (kind == ExchangeResult::Kind::Reply && IsStatusQuery(ended.code)) {
    fresh_[ended.code] = Fresh{nowMs_(), result};
  }
  if (onExchanged) onExchanged(ended.code, result);
  for (auto& asker : ended.askers) asker(result);
  if (lineUp_) startNext();
}

void ProjectorQueue::setLineUp(bool up) {
  if (up == lineUp_) return;
  lineUp_ = up;
  if (!up) failAll(ExchangeResult::Kind::LineDown);
}

void ProjectorQueue::failAll(ExchangeResult::Kind kind) {
  window_.setEnabled(false);
  fresh_.clear();
  std::deque<Pending> waiting = std::move(waiting_);
  waiting_.clear();
  finish(kind);
  for (Pending& pending : waiting) {
    for (auto& asker : pending.askers) asker(ExchangeResult{kind, {}, 0});
  }
}

}  // namespace mero::serve
