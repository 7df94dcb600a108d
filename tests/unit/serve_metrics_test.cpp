// The service's figures: what the replies fold into, the page Prometheus reads, and the poll
// that asks for them on the virtual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
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

// The page without its help texts, whose words are free.
std::string Page(const std::vector<const ProjectorFigures*>& projectors,
                 const ServiceFigures& service) {
  std::string page;
  std::istringstream lines(RenderMetrics(projectors, service));
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("# HELP ")) page += line + '\n';
  }
  return page;
}

// The samples of `page` for `family` (the name up to '{' or ' '), in order.
std::vector<std::string> SamplesOf(const std::string& page, std::string_view family) {
  std::vector<std::string> samples;
  std::istringstream lines(page);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with(family) && line.size() > family.size() &&
        (line[family.size()] == '{' || line[family.size()] == ' ')) {
      samples.push_back(line);
    }
  }
  return samples;
}

TEST(Metrics, EveryFamilyAndLabelFromAKnownStatus) {
  ProjectorFigures a;
  a.id = "hall \"A\"\\1";
  a.name = "Hall A\nstage";
  a.address = "tcp://10.0.0.5:4001";
  a.pjlink = "[::1]:4352";
  a.lineUp = true;
  a.answering = true;
  a.status.power = {
      link::PowerState::On, true, {link::Fault::Warning, link::Fault::Error, link::Fault::None}};
  a.status.lampHours = 1234;
  a.status.degrees = {25.5, std::nullopt, -3.25};
  a.status.model = "QM50";
  a.lastPollSeconds = 1700000000.5;
  a.pjlinkRequests = 7;
  a.maintenanceSince = 1700000100;
  a.maintenanceCommands = {2, 1, 0, 0, 0};
  a.maintenanceRefused = 1;
  for (const ExchangeResult& result : {Replied("00\r", 250), Replied("80\r", 500),
                                       ExchangeResult{ExchangeResult::Kind::NoReply, {}, 2000},
                                       ExchangeResult{ExchangeResult::Kind::LineDown, {}, 0},
                                       ExchangeResult{ExchangeResult::Kind::Busy, {}, 0},
                                       ExchangeResult{ExchangeResult::Kind::Cut, {}, 9000}}) {
    Record(a, "C00", result);
  }
  ProjectorFigures b;
  b.id = "b";
  b.name = "B";
  b.address = "/dev/ttyUSB0";
  b.pjlink = "127.0.0.1:4353";
  b.answering = true;
  // A projector that failed has no power state PJLink can number, but its faults are told.
  b.status.power = {link::PowerState::Failed,
                    false,
                    {link::Fault::None, link::Fault::Warning, link::Fault::Error}};
  b.lineUp = true;
  ServiceFigures service{"1.2.3"};
  service.refuse(PjlinkRefusal::WrongDigest);
  service.refuse(PjlinkRefusal::ServerFull);
  service.pjlinkAcceptPauses = 3;
  service.httpRefused = 3;
  service.httpIdleClosed = 1;
  service.webStreams = 7;
  service.webStreamsClosed = 2;
  service.webUnauthorized = 5;

  EXPECT_EQ(Page({&a, &b}, service),
            R"(# TYPE mero_projector_info gauge
mero_projector_info{projector="hall \"A\"\\1",name="Hall A\nstage",model="QM50",address="tcp://10.0.0.5:4001",pjlink="[::1]:4352"} 1
mero_projector_info{projector="b",name="B",address="/dev/ttyUSB0",pjlink="127.0.0.1:4353"} 1
# TYPE mero_projector_line_up gauge
mero_projector_line_up{projector="hall \"A\"\\1"} 1
mero_projector_line_up{projector="b"} 1
# TYPE mero_projector_answering gauge
mero_projector_answering{projector="hall \"A\"\\1"} 1
mero_projector_answering{projector="b"} 1
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
mero_projector_exchanges_total{projector="hall \"A\"\\1",result="reply"} 2
mero_projector_exchanges_total{projector="hall \"A\"\\1",result="no_reply"} 1
mero_projector_exchanges_total{projector="hall \"A\"\\1",result="line_down"} 1
mero_projector_exchanges_total{projector="hall \"A\"\\1",result="busy"} 1
mero_projector_exchanges_total{projector="hall \"A\"\\1",result="cut"} 1
mero_projector_exchanges_total{projector="b",result="reply"} 0
mero_projector_exchanges_total{projector="b",result="no_reply"} 0
mero_projector_exchanges_total{projector="b",result="line_down"} 0
mero_projector_exchanges_total{projector="b",result="busy"} 0
mero_projector_exchanges_total{projector="b",result="cut"} 0
# TYPE mero_projector_exchange_duration_seconds histogram
mero_projector_exchange_duration_seconds_bucket{projector="hall \"A\"\\1",le="0.01"} 0
mero_projector_exchange_duration_seconds_bucket{projector="hall \"A\"\\1",le="0.025"} 0
mero_projector_exchange_duration_seconds_bucket{projector="hall \"A\"\\1",le="0.05"} 0
mero_projector_exchange_duration_seconds_bucket{projector="hall \"A\"\\1",le="0.1"} 0
mero_projector_exchange_duration_seconds_bucket{projector="hall \"A\"\\1",le="0.25"} 1
mero_projector_exchange_duration_seconds_bucket{projector="hall \"A\"\\1",le="0.5"} 2
mero_projector_exchange_duration_seconds_bucket{projector="hall \"A\"\\1",le="1"} 2
mero_projector_exchange_duration_seconds_bucket{projector="hall \"A\"\\1",le="2.5"} 3
mero_projector_exchange_duration_seconds_bucket{projector="hall \"A\"\\1",le="5"} 3
mero_projector_exchange_duration_seconds_bucket{projector="hall \"A\"\\1",le="+Inf"} 4
mero_projector_exchange_duration_seconds_sum{projector="hall \"A\"\\1"} 11.75
mero_projector_exchange_duration_seconds_count{projector="hall \"A\"\\1"} 4
mero_projector_exchange_duration_seconds_bucket{projector="b",le="0.01"} 0
mero_projector_exchange_duration_seconds_bucket{projector="b",le="0.025"} 0
mero_projector_exchange_duration_seconds_bucket{projector="b",le="0.05"} 0
mero_projector_exchange_duration_seconds_bucket{projector="b",le="0.1"} 0
mero_projector_exchange_duration_seconds_bucket{projector="b",le="0.25"} 0
mero_projector_exchange_duration_seconds_bucket{projector="b",le="0.5"} 0
mero_projector_exchange_duration_seconds_bucket{projector="b",le="1"} 0
mero_projector_exchange_duration_seconds_bucket{projector="b",le="2.5"} 0
mero_projector_exchange_duration_seconds_bucket{projector="b",le="5"} 0
mero_projector_exchange_duration_seconds_bucket{projector="b",le="+Inf"} 0
mero_projector_exchange_duration_seconds_sum{projector="b"} 0
mero_projector_exchange_duration_seconds_count{projector="b"} 0
# TYPE mero_projector_pjlink_requests_total counter
mero_projector_pjlink_requests_total{projector="hall \"A\"\\1"} 7
mero_projector_pjlink_requests_total{projector="b"} 0
# TYPE mero_projector_maintenance_connected gauge
mero_projector_maintenance_connected{projector="hall \"A\"\\1"} 1
mero_projector_maintenance_connected{projector="b"} 0
# TYPE mero_projector_maintenance_since_seconds gauge
mero_projector_maintenance_since_seconds{projector="hall \"A\"\\1"} 1700000100
# TYPE mero_projector_maintenance_commands_total counter
mero_projector_maintenance_commands_total{projector="hall \"A\"\\1",result="reply"} 2
mero_projector_maintenance_commands_total{projector="hall \"A\"\\1",result="no_reply"} 1
mero_projector_maintenance_commands_total{projector="hall \"A\"\\1",result="line_down"} 0
mero_projector_maintenance_commands_total{projector="hall \"A\"\\1",result="busy"} 0
mero_projector_maintenance_commands_total{projector="hall \"A\"\\1",result="cut"} 0
mero_projector_maintenance_commands_total{projector="b",result="reply"} 0
mero_projector_maintenance_commands_total{projector="b",result="no_reply"} 0
mero_projector_maintenance_commands_total{projector="b",result="line_down"} 0
mero_projector_maintenance_commands_total{projector="b",result="busy"} 0
mero_projector_maintenance_commands_total{projector="b",result="cut"} 0
# TYPE mero_projector_maintenance_refused_total counter
mero_projector_maintenance_refused_total{projector="hall \"A\"\\1"} 1
mero_projector_maintenance_refused_total{projector="b"} 0
# TYPE mero_service_build_info gauge
mero_service_build_info{version="1.2.3"} 1
# TYPE mero_service_pjlink_refused_total counter
mero_service_pjlink_refused_total{reason="wrong_digest"} 1
mero_service_pjlink_refused_total{reason="no_digest"} 0
mero_service_pjlink_refused_total{reason="not_pjlink"} 0
mero_service_pjlink_refused_total{reason="too_much"} 0
mero_service_pjlink_refused_total{reason="unsent"} 0
mero_service_pjlink_refused_total{reason="no_request"} 0
mero_service_pjlink_refused_total{reason="crowded_out"} 0
mero_service_pjlink_refused_total{reason="address_full"} 0
mero_service_pjlink_refused_total{reason="server_full"} 1
# TYPE mero_service_pjlink_accept_pauses_total counter
mero_service_pjlink_accept_pauses_total 3
# TYPE mero_service_http_refused_total counter
mero_service_http_refused_total 3
# TYPE mero_service_http_idle_closed_total counter
mero_service_http_idle_closed_total 1
# TYPE mero_service_web_streams gauge
mero_service_web_streams 7
# TYPE mero_service_web_streams_closed_total counter
mero_service_web_streams_closed_total 2
# TYPE mero_service_web_unauthorized_total counter
mero_service_web_unauthorized_total 5
)");
}

// Whether the line is open and the last poll was answered in full, against what the page
// tells of a projector whose status is fully known: old readings are left out rather than
// repeated while it is silent, and it stays named, with the model it last told, for alerts.
TEST(Metrics, StateSeriesOnlyWhileTheProjectorAnswers) {
  struct Row {
    const char* what;
    bool lineUp;
    bool answering;
    bool modelKnown;
    int lineUpValue;
    int answeringValue;
    bool state;
    std::string info;
  };
  const std::string named = R"(mero_projector_info{projector="p",name="Hall A",)";
  const std::string located = R"(address="/dev/ttyS0",pjlink="127.0.0.1:4352"} 1)";
  const std::string withModel = named + R"(model="QM50",)" + located;
  for (const Row& row : std::vector<Row>{
           {"answering", true, true, true, 1, 1, true, withModel},
           {"answering, model not told", true, true, false, 1, 1, true, named + located},
           {"silent on an open line", true, false, true, 1, 0, false, withModel},
           {"line down, before a poll has ended", false, true, true, 0, 0, false, withModel},
           {"line down", false, false, false, 0, 0, false, named + located},
       }) {
    ProjectorFigures p;
    p.id = "p";
    p.name = "Hall A";
    p.address = "/dev/ttyS0";
    p.pjlink = "127.0.0.1:4352";
    p.lineUp = row.lineUp;
    p.answering = row.answering;
    p.status.power = link::PowerStatus{link::PowerState::On, true, {}};
    p.status.lampHours = 2;
    p.status.degrees = {30.0, 31.0, 32.0};
    if (row.modelKnown) p.status.model = "QM50";
    p.lastPollSeconds = 17;
    const std::string page = Page({&p}, {});
    EXPECT_EQ(SamplesOf(page, "mero_projector_info"), std::vector<std::string>{row.info})
        << row.what;
    EXPECT_EQ(SamplesOf(page, "mero_projector_line_up"),
              std::vector<std::string>{R"(mero_projector_line_up{projector="p"} )" +
                                       std::to_string(row.lineUpValue)})
        << row.what;
    EXPECT_EQ(SamplesOf(page, "mero_projector_answering"),
              std::vector<std::string>{R"(mero_projector_answering{projector="p"} )" +
                                       std::to_string(row.answeringValue)})
        << row.what;
    for (const auto& [family, count] : std::vector<std::pair<std::string_view, std::size_t>>{
             {"mero_projector_power_state", 1},
             {"mero_projector_lamp_use_seconds", 1},
             {"mero_projector_temperature_celsius", 3},
             {"mero_projector_error", 6}}) {
      EXPECT_EQ(SamplesOf(page, family).size(), row.state ? count : 0)
          << row.what << ": " << family;
    }
    for (const std::string_view family :
         {"mero_projector_last_poll_timestamp_seconds", "mero_projector_exchanges_total",
          "mero_projector_exchange_duration_seconds_count",
          "mero_projector_pjlink_requests_total"}) {
      EXPECT_FALSE(SamplesOf(page, family).empty()) << row.what << ": " << family;
    }
  }
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
  EXPECT_EQ(figures.times.count, 7U) << "a refusal took no time of the projector's";

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
  figures.status.model = "QM50";
  figures.answering = true;
  Poller poller(link, timer, figures, [&clock] { return static_cast<double>(clock.now()) / 1000; });
  poller.start(700, 5000);
  clock.advance(699);
  EXPECT_TRUE(link.asked.empty());
  clock.advance(1);
  EXPECT_EQ(link.asked, (std::vector<std::string>{"700 CR0", "700 CR3", "700 CR6"}));
  link.answer(2);
  EXPECT_TRUE(figures.answering) << "not before the poll has ended";
  link.answer(1, "\x15\r");
  EXPECT_EQ(figures.lastPollSeconds, std::nullopt) << "a refusal is no answer";
  EXPECT_FALSE(figures.answering);

  clock.advance(5000);
  EXPECT_EQ(link.asked.size(), 7U) << "the model is asked again after a silence";
  link.answer(3);
  clock.advance(5000);
  link.answer(1);
  EXPECT_EQ(figures.lastPollSeconds, 10.7) << "a poll answered in full, if late";
  EXPECT_TRUE(figures.answering);
  EXPECT_EQ(link.asked.size(), 11U) << "asked while the projector was silent";
  link.answer(3);
  link.answer(1, "\x15\r");
  EXPECT_FALSE(figures.answering) << "the newer poll was not";
  EXPECT_EQ(link.asked.back(), "10700 CR6");
}

// A link that answers every exchange at once, by its code.
class ScriptedLink : public link::Exchanges {
 public:
  void exchange(std::string_view code, std::function<void(const ExchangeResult&)> done) override {
    asked.emplace_back(code);
    const auto it = results.find(std::string(code));
    done(it != results.end() ? it->second : Replied(projector.Handle(code, 0)));
  }
  std::map<std::string, ExchangeResult> results;  // instead of the projector's
  std::vector<std::string> asked;
  vp::Projector projector;
};

TEST(Poller, APollEndingWithoutEveryReplyIsNoAnswer) {
  struct Row {
    const char* what;
    std::map<std::string, ExchangeResult> results;
    bool answering;
  };
  const ExchangeResult down{ExchangeResult::Kind::LineDown, {}, 0};
  for (const Row& row : std::vector<Row>{
           {"every reply understood", {}, true},
           {"the model refused in stand-by", {{"CR9", Replied("\x15\r")}}, true},
           {"a query refused", {{"CR3", Replied("\x15\r")}}, false},
           {"a reply that fits no row", {{"CR0", Replied("zz\r")}}, false},
           {"no reply", {{"CR6", {ExchangeResult::Kind::NoReply, {}, 3000}}}, false},
           {"a reply cut", {{"CR6", {ExchangeResult::Kind::Cut, "1234", 30}}}, false},
           {"too many waiting", {{"CR0", {ExchangeResult::Kind::Busy, {}, 0}}}, false},
           {"the line down", {{"CR0", down}, {"CR3", down}, {"CR6", down}, {"CR9", down}}, false},
       }) {
    test::VirtualClock clock;
    test::VirtualClock::Timer timer(clock);
    ScriptedLink link;
    link.results = row.results;
    ProjectorFigures figures;
    figures.answering = !row.answering;
    Poller poller(link, timer, figures, [] { return 5.0; });
    poller.poll();
    EXPECT_EQ(figures.answering, row.answering) << row.what;
    EXPECT_EQ(figures.lastPollSeconds, row.answering ? std::optional<double>(5) : std::nullopt)
        << row.what;
  }
}

TEST(Poller, AsksTheModelWhileItIsNotKnownOrTheProjectorWasSilent) {
  struct Row {
    bool modelKnown;
    bool answering;
    bool asked;
  };
  for (const Row& row : std::vector<Row>{
           {false, true, true}, {false, false, true}, {true, false, true}, {true, true, false}}) {
    test::VirtualClock clock;
    test::VirtualClock::Timer timer(clock);
    ScriptedLink link;
    ProjectorFigures figures;
    if (row.modelKnown) figures.status.model = "QM50";
    figures.answering = row.answering;
    Poller poller(link, timer, figures, [] { return 0.0; });
    poller.poll();
    EXPECT_EQ(std::ranges::count(link.asked, "CR9"), row.asked ? 1 : 0)
        << "model known " << row.modelKnown << ", answering " << row.answering;
  }
}

}  // namespace
}  // namespace mero::serve
