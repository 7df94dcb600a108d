// The reopening line on the virtual clock: when a lost, refused, away or flapping line is tried
// again, what it reports, and that nothing is reported after stop() or destruction.
#include "link/port/reopening_line.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "scripted_line.h"
#include "virtual_clock.h"

namespace mero::link {
namespace {

using test::Peer;
using test::VirtualClock;
using Kind = LineFailure::Kind;

struct Rig : test::LineRig {
  explicit Rig(bool network)
      : LineRig(network),
        line(std::make_unique<ReopeningLine>(ComDevice{address(network), "", false}, LineSettings{},
                                             host, ReopeningTimers{retry, settle})) {
    line->onUp = [this] { ++ups; };
    line->onDown = [this](const LineFailure& failure) { downs.push_back(failure.kind); };
  }
  // Up a good while, its next loss is tried again at once.
  bool reopensAtOnce() {
    clock.advance(kSettledMs);
    if (!line->isUp()) return false;
    scripted().lose();
    clock.advance(1);
    const VirtualClock::Ms lostAt = clock.now();
    clock.advance(5);
    return line->isUp() && attemptsSince(lostAt).size() == 1;
  }

  std::unique_ptr<ReopeningLine> line;
  int ups = 0;
  std::vector<Kind> downs;
};

// Every failure that keeps coming is tried again after 1, 2, 4 ... 30 seconds, whether the line
// was lost after a good while or refused from the start; each reason is reported once.
TEST(ReopeningLine, RepeatedFailuresWaitTwiceAsLongEachTimeUpToHalfAMinute) {
  const std::vector<VirtualClock::Ms> backOff = {0,     1000,  3000,  7000,  15000,
                                                 31000, 61000, 91000, 121000};
  struct Case {
    bool network;
    Peer peer;
    bool lostAfterUp;
    std::vector<Kind> downs;
  };
  const Case cases[] = {
      {true, Peer::Refuses, true, {Kind::Lost, Kind::Unreachable}},
      {true, Peer::Refuses, false, {Kind::Unreachable}},
      {false, Peer::Busy, true, {Kind::Lost, Kind::Busy}},
      {false, Peer::Forbidden, false, {Kind::NoPermission}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
    Rig rig(c.network);
    if (c.lostAfterUp) {
      rig.line->start();
      rig.clock.advance(60000);
      rig.loseTo(c.peer);
      rig.clock.advance(1);
    } else {
      rig.host.peer = c.peer;
      rig.line->start();
    }
    const VirtualClock::Ms from = c.lostAfterUp ? rig.clock.now() : 0;
    rig.clock.advance(121500);
    const std::vector<VirtualClock::Ms> attempts = rig.attemptsSince(from);
    ASSERT_EQ(attempts.size(), backOff.size());
    for (std::size_t i = 0; i < backOff.size(); ++i) {
      EXPECT_NEAR(static_cast<double>(attempts[i]), static_cast<double>(backOff[i]), 2.0) << i;
    }
    EXPECT_EQ(rig.downs, c.downs);
    EXPECT_FALSE(rig.line->write("C00\r"));
    // Back: opened at the next attempt.
    rig.host.peer = Peer::Answers;
    rig.clock.advance(31000);
    EXPECT_TRUE(rig.reopensAtOnce());
  }
}

TEST(ReopeningLine, AFlappingDeviceIsTriedWithGrowingPausesThatEndOnceItStaysUp) {
  Rig rig(false);
  rig.line->start();
  rig.clock.advance(60000);
  // Lost right after every return, and back at once each time: 50 flaps in 5 s. Only the
  // pauses' ends open it: at once, then 1 and 2 s after the next loss (which comes with the next
  // flap, within 101 ms), the pause of 4 s running past the flapping.
  for (int flap = 0; flap < 50; ++flap) {
    if (rig.line->isUp()) rig.scripted().lose();
    rig.clock.advance(1);
    rig.host.appear();
    rig.clock.advance(100);
  }
  const std::vector<VirtualClock::Ms> attempts = rig.attemptsSince(60000);
  ASSERT_EQ(attempts.size(), 3U);
  for (std::size_t i = 1; i < attempts.size(); ++i) {
    const VirtualClock::Ms pause = kFirstRetryMs << (i - 1);
    EXPECT_GE(attempts[i] - attempts[i - 1], pause) << i;
    EXPECT_LE(attempts[i] - attempts[i - 1], pause + 101) << i;
  }
  rig.clock.advance(5000);
  EXPECT_TRUE(rig.reopensAtOnce());
}

TEST(ReopeningLine, EachNewReasonIsReportedOnceWhileWaiting) {
  Rig rig(false);
  rig.host.peer = Peer::Busy;
  rig.line->start();
  for (const Peer peer : {Peer::Busy, Peer::Forbidden, Peer::Forbidden, Peer::Busy}) {
    rig.host.peer = peer;
    rig.clock.advance(kLongestRetryMs);
  }
  // Once up, the same reason is news again.
  rig.host.peer = Peer::Answers;
  rig.clock.advance(kLongestRetryMs);
  rig.loseTo(Peer::Busy);
  rig.clock.advance(kLongestRetryMs);
  EXPECT_EQ(rig.downs, (std::vector<Kind>{Kind::Busy, Kind::NoPermission, Kind::Busy, Kind::Lost,
                                          Kind::Busy}));
}

// The operator's single attempt: writes made while it connects go out once it is open; one
// that fails is reported and not tried again until asked.
TEST(ReopeningLine, OneAttemptIsNotRepeatedUntilAskedToWait) {
  Rig rig(true);
  ASSERT_EQ(rig.line->openOnce(), Line::Opening::Pending);
  EXPECT_TRUE(rig.line->write("C00\r"));
  rig.clock.advance(1);
  EXPECT_TRUE(rig.line->isUp());
  EXPECT_EQ(rig.scripted().written, "C00\r");

  rig.host.peer = Peer::Refuses;
  rig.line->stop();
  ASSERT_EQ(rig.line->openOnce(), Line::Opening::Pending);
  rig.clock.advance(60000);
  EXPECT_EQ(rig.downs, std::vector<Kind>{Kind::Unreachable});
  EXPECT_EQ(rig.host.attempts.size(), 2U);
  rig.line->reopenWhenBack();
  rig.clock.advance(1);
  EXPECT_EQ(rig.host.attempts.size(), 3U);
  EXPECT_TRUE(rig.line->isWaiting());
}

// stop() ends the wait whatever it is doing, also from inside a report; a line destroyed
// mid-attempt is never reached again.
TEST(ReopeningLine, NothingIsReportedOrTriedAfterStopOrDestruction) {
  const std::vector<std::pair<const char*, std::function<void(Rig&)>>> cases = {
      {"while a pause runs",
       [](Rig& rig) {
         rig.line->start();
         rig.clock.advance(1);
         rig.loseTo(Peer::Refuses);
         rig.clock.advance(500);
         ASSERT_TRUE(rig.retry.isEnabled());
         rig.line->stop();
       }},
      {"from inside the report of the loss",
       [](Rig& rig) {
         rig.line->onDown = [&rig](const LineFailure& /*failure*/) { rig.line->stop(); };
         rig.line->start();
         rig.clock.advance(1);
         rig.loseTo(Peer::Refuses);
         rig.clock.advance(1);
       }},
      {"while an attempt is pending",
       [](Rig& rig) {
         rig.host.peer = Peer::Refuses;
         rig.line->start();  // the refusal would come on the next turn
         rig.line->stop();
       }},
      {"destroyed while an attempt is pending",
       [](Rig& rig) {
         rig.host.peer = Peer::Refuses;
         rig.line->start();
         rig.line.reset();
         EXPECT_FALSE(rig.host.onDeviceAppeared);
         EXPECT_FALSE(rig.retry.onTick);
       }},
  };
  for (const auto& [what, upToStop] : cases) {
    SCOPED_TRACE(what);
    Rig rig(true);
    upToStop(rig);
    const std::size_t attempts = rig.host.attempts.size();
    const std::size_t reports = rig.ups + rig.downs.size();
    rig.host.appear();
    rig.clock.advance(120000);
    EXPECT_EQ(rig.host.attempts.size(), attempts);
    EXPECT_EQ(rig.ups + rig.downs.size(), reports);
    EXPECT_FALSE(rig.retry.isEnabled());
    EXPECT_FALSE(rig.host.watching);
    EXPECT_FALSE(rig.line && (rig.line->isUp() || rig.line->isWaiting()));
  }
}

}  // namespace
}  // namespace mero::link
