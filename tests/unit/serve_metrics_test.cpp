// The service's figures: what the replies fold into, the page Prometheus reads, and the poll
// that asks for them on the virtual clock.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "projector/projector.h"
#include "serve/metrics.h"
#include "serve/poller.h"
#include "virtual_clock.h"

namespace mero::serve {
namespace {

ExchangeResult Replied(link::Bytes reply, double ms = 1) {
  return {ExchangeResult::Kind::Reply, std::move(reply), ms};
}

TEST(Metrics, EveryFamilyAndLabelFromAKnownStatus) {
  ProjectorFigures a;
  a.name = "hall \"A\"\\1";
  a.lineUp = true;
  a.status.power = {
      link::PowerState::On, true, {link::Fault::Warning, link::Fault::Error, link::Fault::None}};
  a.status.lampHours = 1234;
  a.status.degrees = {25.5, std::nullopt, -3.25};
  a.lastPollSeconds = 1700000000.5;
  a.exchanges = {5, 1, 0, 2};
  ProjectorFigures b;
  b.name = "b";
  // A projector that failed has no power state PJLink can number, but its faults are told.
  b.status.power = {link::PowerState::Failed,
                    false,
                    {link::Fault::None, link::Fault::Warning, link::Fault::Error}};
  b.exchanges = {0, 0, 3, 0};
  ServiceFigures service;
  for (const ExchangeResult& result : {Replied("00\r", 250), Replied("80\r", 500),
                                       ExchangeResult{ExchangeResult::Kind::NoReply, {}, 2000},
                                       ExchangeResult{ExchangeResult::Kind::LineDown, {}, 0},
                                       ExchangeResult{ExchangeResult::Kind::Busy, {}, 0}}) {
    service.count(result);
  }
  service.pjlinkRequests = 7;
  service.pjlinkRefused = 2;
  service.httpRefused = 3;
  service.httpIdleClosed = 1;

  // The help texts aside, whose words are free.
  std::string page;
  std::istringstream lines(RenderMetrics({&a, &b}, service));
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("# HELP ")) page += line + '\n';
  }
  EXPECT_EQ(page,
            R"(# TYPE mero_projector_line_up gauge
mero_projector_line_up{projector="hall \"A\"\\1"} 1
mero_projector_line_up{projector="b"} 0
# TYPE mero_projector_power_state gauge
mero_projector_power_state{projector="hall \"A\"\\1"} 1
# TYPE mero_projector_lamp_use_seconds gauge
mero_projector_lamp_use_seconds{projector="hall \"A\"\\1"} 4442400
# TYPE mero_projector_temperature_celsius gauge
mero_projector_temperature_celsius{projector="hall \"A\"\\1",sensor="1"} 25.5
mero_projector_temperature_celsius{projector="hall \"A\"\\1",sensor="3"} -3.25
# TYPE mero_projector_error gauge
mero_projector_error{projector="hall \"A\"\\1",kind="fan"} 0
mero_projector_error{projector="hall \"A\"\\1",kind="lamp"} 1
mero_projector_error{projector="hall \"A\"\\1",kind="temperature"} 2
mero_projector_error{projector="hall \"A\"\\1",kind="cover"} 0
mero_projector_error{projector="hall \"A\"\\1",kind="filter"} 0
mero_projector_error{projector="hall \"A\"\\1",kind="other"} 0
mero_projector_error{projector="b",kind="fan"} 0
mero_projector_error{projector="b",kind="lamp"} 0
mero_projector_error{projector="b",kind="temperature"} 1
mero_projector_error{projector="b",kind="cover"} 0
mero_projector_error{projector="b",kind="filter"} 0
mero_projector_error{projector="b",kind="other"} 2
# TYPE mero_projector_last_poll_timestamp_seconds gauge
mero_projector_last_poll_timestamp_seconds{projector="hall \"A\"\\1"} 1700000000.5
# TYPE mero_projector_exchanges_total counter
mero_projector_exchanges_total{projector="hall \"A\"\\1",result="reply"} 5
mero_projector_exchanges_total{projector="hall \"A\"\\1",result="no_reply"} 1
mero_projector_exchanges_total{projector="hall \"A\"\\1",result="line_down"} 0
mero_projector_exchanges_total{projector="hall \"A\"\\1",result="busy"} 2
mero_projector_exchanges_total{projector="hall \"A\"\\1",result="cut"} 0
mero_projector_exchanges_total{projector="b",result="reply"} 0
mero_projector_exchanges_total{projector="b",result="no_reply"} 0
mero_projector_exchanges_total{projector="b",result="line_down"} 3
mero_projector_exchanges_total{projector="b",result="busy"} 0
mero_projector_exchanges_total{projector="b",result="cut"} 0
# TYPE mero_exchange_duration_seconds histogram
mero_exchange_duration_seconds_bucket{le="0.01"} 0
mero_exchange_duration_seconds_bucket{le="0.025"} 0
mero_exchange_duration_seconds_bucket{le="0.05"} 0
mero_exchange_duration_seconds_bucket{le="0.1"} 0
mero_exchange_duration_seconds_bucket{le="0.25"} 1
mero_exchange_duration_seconds_bucket{le="0.5"} 2
mero_exchange_duration_seconds_bucket{le="1"} 2
mero_exchange_duration_seconds_bucket{le="2.5"} 3
mero_exchange_duration_seconds_bucket{le="5"} 3
mero_exchange_duration_seconds_bucket{le="+Inf"} 3
mero_exchange_duration_seconds_sum 2.75
mero_exchange_duration_seconds_count 3
# TYPE mero_pjlink_requests_total counter
mero_pjlink_requests_total 7
# TYPE mero_pjlink_refused_total counter
mero_pjlink_refused_total 2
# TYPE mero_http_refused_total counter
mero_http_refused_total 3
# TYPE mero_http_idle_closed_total counter
mero_http_idle_closed_total 1
)");
}

// What the poll's replies fold into, from the virtual projector; a reply not understood leaves
// what the last one told.
TEST(Metrics, RecordFoldsEachReplyIntoTheStatus) {
  vp::Projector projector({.lampHours = 321, .temperature1 = -4.5});
  ProjectorFigures figures;
  for (const char* code : {"CR0", "CR3", "CR6"})
    Record(figures, code, Replied(projector.Handle(code, 0)));
  const link::ProjectorStatus told = figures.status;
  EXPECT_EQ(told.power, (link::PowerStatus{link::PowerState::StandBy, false, {}}));
  EXPECT_EQ(told.lampHours, 321);
  EXPECT_EQ(told.degrees, (std::array<std::optional<double>, 3>{-4.5, 30.1, 28.0}));

  for (const char* code : {"CR0", "CR3", "CR6"}) Record(figures, code, Replied("\x15\r"));
  Record(figures, "CR6", {ExchangeResult::Kind::NoReply, {}, 0});
  Record(figures, "CR0", {ExchangeResult::Kind::Busy, {}, 0});
  EXPECT_EQ(figures.status.power, told.power);
  EXPECT_EQ(figures.status.lampHours, told.lampHours);
  EXPECT_EQ(figures.status.degrees, told.degrees);
  EXPECT_EQ(figures.exchanges, (std::array<std::uint64_t, ExchangeResult::kKinds>{6, 1, 0, 1, 0}));

  Record(figures, "CR6", Replied("+25.5  xx.x -12.5\r"));
  EXPECT_EQ(figures.status.degrees,
            (std::array<std::optional<double>, 3>{25.5, std::nullopt, -12.5}))
      << "a sensor without a figure is not left at its older reading";
}

TEST(Poller, OffsetsSpreadProjectorsOverTheInterval) {
  struct Row {
    std::size_t index;
    std::size_t count;
    int intervalMs;
    int offsetMs;
  };
  for (const Row& row : std::vector<Row>{
           {0, 3, 30000, 0},
           {1, 3, 30000, 10000},
           {2, 3, 30000, 20000},
           {0, 0, 30000, 0},
           {999, 1000, 3'600'000, 3'596'400},  // past int's range on the way
       }) {
    EXPECT_EQ(PollOffsetMs(row.index, row.count, row.intervalMs), row.offsetMs)
        << row.index << " of " << row.count;
  }
}

// A link that holds each exchange until the test answers it from the virtual projector.
class HeldLink : public link::Exchanges {
 public:
  explicit HeldLink(test::VirtualClock& clock) : clock_(clock) {}
  void exchange(std::string_view code, std::function<void(const ExchangeResult&)> done) override {
    asked.push_back(std::to_string(clock_.now()) + " " + std::string(code));
    held_.emplace_back(std::string(code), std::move(done));
  }
  // Answers the oldest exchanges held, with `reply` instead of the projector's where given.
  void answer(std::size_t count, const link::Bytes& reply = {}) {
    for (; count > 0 && !held_.empty(); --count) {
      auto [code, done] = std::move(held_.front());
      held_.erase(held_.begin());
      done(Replied(reply.empty() ? projector.Handle(code, clock_.now()) : reply));
    }
  }
  std::vector<std::string> asked;
  vp::Projector projector;

 private:
  test::VirtualClock& clock_;
  std::vector<std::pair<std::string, std::function<void(const ExchangeResult&)>>> held_;
};

TEST(Poller, PollsAfterItsOffsetThenEveryIntervalAndNotesPollsAnsweredInFull) {
  test::VirtualClock clock;
  test::VirtualClock::Timer timer(clock);
  HeldLink link(clock);
  ProjectorFigures figures;
  Poller poller(link, timer, figures, [&clock] { return static_cast<double>(clock.now()) / 1000; });
  poller.start(700, 5000);
  clock.advance(699);
  EXPECT_TRUE(link.asked.empty());
  clock.advance(1);
  EXPECT_EQ(link.asked, (std::vector<std::string>{"700 CR0", "700 CR3", "700 CR6"}));
  link.answer(2);
  link.answer(1, "\x15\r");
  EXPECT_EQ(figures.lastPollSeconds, std::nullopt) << "a refusal is no answer";

  clock.advance(5000);
  link.answer(2);
  clock.advance(5000);
  link.answer(1);
  EXPECT_EQ(figures.lastPollSeconds, std::nullopt) << "an answer to an older poll";
  link.answer(3);
  EXPECT_EQ(figures.lastPollSeconds, 10.7);
  EXPECT_EQ(link.asked.size(), 9U);
  EXPECT_EQ(link.asked.back(), "10700 CR6");
}

}  // namespace
}  // namespace mero::serve
