#include "serve/poller.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "link/protocol/status.h"

namespace mero::serve {

int PollOffsetMs(std::size_t index, std::size_t count, int intervalMs) {
  if (count == 0) return 0;
  return static_cast<int>(static_cast<std::int64_t>(intervalMs) * static_cast<std::int64_t>(index) /
                          static_cast<std::int64_t>(count));
}

Poller::Poller(link::Exchanges& link, link::Timer& timer, ProjectorFigures& figures,
               std::function<double()> wallSeconds)
    : link_(link), timer_(timer), figures_(figures), wallSeconds_(std::move(wallSeconds)) {
  timer_.onTick = [this] {
    if (timer_.interval() != intervalMs_) timer_.setInterval(intervalMs_);
    poll();
  };
}

void Poller::start(int offsetMs, int intervalMs) {
  intervalMs_ = intervalMs;
  // The first poll comes after the offset (at least a moment, so that the line can open).
  timer_.setInterval(offsetMs > 0 ? offsetMs : 1);
  timer_.setEnabled(true);
}

void Poller::poll() {
  const std::uint64_t round = ++round_;
  struct Tally {
    std::size_t ended = 0;
    std::size_t answered = 0;
    bool onAsked = false;  // the queries of a projector that is on
  };
  auto tally = std::make_shared<Tally>();
  if (!figures_.status.model || !figures_.answering) link_.exchange(kModelQuery, [](auto&) {});
  for (const std::string_view code : kPollQueries) {
    link_.exchange(code, [this, code, round, tally](const ExchangeResult& result) {
      // A refusal or a garbled reply is no answer.
      link::ProjectorStatus told;
      if (result.kind == ExchangeResult::Kind::Reply && link::FoldReply(told, code, result.reply))
        ++tally->answered;
      // Rounds end in the order they were asked; one overtaken by a newer one tells nothing.
      if (++tally->ended < kPollQueries.size() || round < decided_) return;
      decided_ = round;
      figures_.answering = tally->answered == kPollQueries.size();
      if (figures_.answering) settled(tally->onAsked);
      if (onDecided) onDecided();
    });
  }
  const auto& power = figures_.status.power;
  tally->onAsked = power && power->state == link::PowerState::On;
  if (tally->onAsked) askOnQueries();
}

void Poller::askOnQueries() {
  for (const std::string_view code : kOnQueries) link_.exchange(code, [](auto&) {});
}

// A poll answered in full; while the projector warms up or cools down, the next comes soon, and
// one found on only now is asked at once what it shows.
void Poller::settled(bool onAsked) {
  figures_.lastPollSeconds = wallSeconds_();
  const auto& power = figures_.status.power;
  if (!onAsked && power && power->state == link::PowerState::On) askOnQueries();
  if (intervalMs_ > 0 && power &&
      (power->state == link::PowerState::WarmingUp ||
       power->state == link::PowerState::CoolingDown)) {
    timer_.setInterval(std::min(intervalMs_, kSettlingPollMs));
  }
}

}  // namespace mero::serve
