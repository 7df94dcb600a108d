#pragma once

#include <cstdint>
#include <functional>

#include "link/port/exchange_engine.h"
#include "link/port/timer.h"
#include "serve/metrics.h"

namespace mero::serve {

// The status a poll asks for: power and errors, lamp hours, temperatures.
inline constexpr std::array<std::string_view, 3> kPollQueries{"CR0", "CR3", "CR6"};
// Asked besides while the model is not known or the projector has been silent (it may be
// another one now); some models refuse it in stand-by, so it is no part of a full answer.
inline constexpr std::string_view kModelQuery = "CR9";
// Asked besides while the projector is on, for the web page: the input, and the mutes, which
// the projector does not tell in stand-by.
inline constexpr std::array<std::string_view, 2> kOnQueries{"CR1", "CRA"};
// While the projector warms up or cools down, it is polled this often until it has settled,
// so that what is shown follows it.
inline constexpr int kSettlingPollMs = 2000;

// Where projector `index` of `count` takes its first poll within an interval, so that the
// projectors of a service, and so those behind one device server, are asked one after another
// rather than at once.
int PollOffsetMs(std::size_t index, std::size_t count, int intervalMs);

// Asks one projector its status every interval, first after its offset, through the line's
// queue that PJLink requests share. What the replies tell reaches the figures through the
// queue's report of every exchange; the poll itself notes, once all of its queries have ended,
// whether they were all answered with replies it understood.
class Poller {
 public:
  Poller(link::Exchanges& link, link::Timer& timer, ProjectorFigures& figures,
         std::function<double()> wallSeconds);

  // Also a new interval for a running poll: the next poll comes after the offset, the others
  // an interval apart.
  void start(int offsetMs, int intervalMs);
  void poll();
  // Told when a poll has ended, and with it what the figures say of answering.
  std::function<void()> onDecided;

 private:
  void settled(bool onAsked);
  void askOnQueries();

  link::Exchanges& link_;
  link::Timer& timer_;
  ProjectorFigures& figures_;
  std::function<double()> wallSeconds_;
  int intervalMs_ = 0;
  std::uint64_t round_ = 0;
  std::uint64_t decided_ = 0;  // the newest round that has ended
};

}  // namespace mero::serve
