// The reopening line on the virtual clock: when a lost, refused, away or flapping line is tried
// again, what it reports, and that nothing is reported after stop() or destruction.
#include "link/port/reopening_line.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "scripted_line.h"
#include "virtual_clock.h"

namespace mero::link {
namespace {

using test::Peer;
using test::ScriptedHost;
using test::ScriptedLine;
using test::VirtualClock;
using Kind = LineFailure::Kind;

struct Rig {
  explicit Rig(bool network)
      : host(clock, network),
        line(std::make_unique<ReopeningLine>(
            ComDevice{network ? "tcp://127.0.0.1:4000" : "/dev/ttyUSB0", "", false}, LineSettings{},
            host, ReopeningTimers{retry, settle})) {
    line->onUp = [this] { events.emplace_back("up"); };
    line->onDown = [this](const LineFailure& failure) { downs.push_back(failure.kind); };
    line->onReceived = [this](const Bytes& bytes) { events.push_back("bytes " + bytes); };
  }
  ScriptedLine& scripted() { return *host.lines.back(); }
  // Attempts at or after `from`, relative to it.
  std::vector<VirtualClock::Ms> attemptsSince(VirtualClock::Ms from) const {
    std::vector<VirtualClock::Ms> out;
    for (const VirtualClock::Ms at : host.attempts) {
      if (at >= from) out.push_back(at - from);
    }
    return out;
  }

  VirtualClock clock;
  VirtualClock::Timer retry{clock};
  VirtualClock::Timer settle{clock};
  ScriptedHost host;
  std::unique_ptr<ReopeningLine> line;
  std::vector<std::string> events;
  std::vector<Kind> downs;
};

// Every failure that keeps coming is tried again after 1, 2, 4 ... 30 seconds, whether the line
// was lost after a good while or refused from the start; each reason is reported once.
TEST(ReopeningLine, RepeatedFailuresWaitTwiceAsLongEachTimeUpToHalfAMinute) {
  const std::vector<VirtualClock::Ms> backOff = {0,     1000,  3000,  7000,  15000,
                                                 31000, 61000, 91000, 121000};
  struct Case {
    const char* what;
    bool network;
    Peer peer;
    bool lostAfterUp;
    std::vector<Kind> downs;
  };
  const Case cases[] = {
      {"a server that refuses, after a loss",
       true,
       Peer::Refuses,
       true,
       {Kind::Lost, Kind::Unreachable}},
      {"a server that refuses from the start", true, Peer::Refuses, false, {Kind::Unreachable}},
      {"a device held by another program", false, Peer::Busy, true, {Kind::Lost, Kind::Busy}},
      {"a device this user may not use, from the start",
       false,
       Peer::Forbidden,
       false,
       {Kind::NoPermission}},
  };
  for (const Case& c : cases) {
    Rig rig(c.network);
    if (c.lostAfterUp) {
      rig.line->start();
      rig.clock.advance(60000);
      ASSERT_TRUE(rig.line->isUp()) << c.what;
      rig.host.peer = c.peer;
      rig.scripted().lose();
      rig.clock.advance(1);
    } else {
      rig.host.peer = c.peer;
      rig.line->start();
    }
    const VirtualClock::Ms from = c.lostAfterUp ? rig.clock.now() : 0;
    rig.clock.advance(121500);
    const std::vector<VirtualClock::Ms> attempts = rig.attemptsSince(from);
    ASSERT_EQ(attempts.size(), backOff.size()) << c.what;
    for (std::size_t i = 0; i < backOff.size(); ++i) {
      EXPECT_NEAR(static_cast<double>(attempts[i]), static_cast<double>(backOff[i]), 2.0)
          << c.what << ", attempt " << i;
    }
    EXPECT_EQ(rig.downs, c.downs) << c.what;
    EXPECT_FALSE(rig.line->write("C00\r")) << c.what;
    // Back: opened at the next attempt; up for 10 s, its next loss is tried at once.
    rig.host.peer = Peer::Answers;
    rig.clock.advance(31000);
    ASSERT_TRUE(rig.line->isUp()) << c.what;
    rig.clock.advance(kSettledMs);
    rig.scripted().lose();
    rig.clock.advance(1);
    const VirtualClock::Ms lostAt = rig.clock.now();
    rig.clock.advance(5);
    EXPECT_TRUE(rig.line->isUp()) << c.what;
    EXPECT_EQ(rig.attemptsSince(lostAt).size(), 1U) << c.what;
  }
}

TEST(ReopeningLine, AFlappingDeviceIsTriedWithGrowingPausesThatEndOnceItStaysUp) {
  Rig rig(false);
  rig.line->start();
  rig.clock.advance(60000);
  // Lost right after every return, and back at once each time: 50 flaps.
  for (int flap = 0; flap < 50; ++flap) {
    if (rig.line->isUp()) rig.scripted().lose();
    rig.clock.advance(1);
    rig.host.appear();
    rig.clock.advance(100);
  }
  // The device appeared 50 times in 5 s; only the pauses' ends opened it: at once, then 1 and
  // 2 s after the next loss (which comes with the next flap, within 101 ms), the pause of 4 s
  // running past the flapping.
  const std::vector<VirtualClock::Ms> attempts = rig.attemptsSince(60000);
  ASSERT_EQ(attempts.size(), 3U);
  for (std::size_t i = 1; i < attempts.size(); ++i) {
    const VirtualClock::Ms pause = kFirstRetryMs << (i - 1);
    EXPECT_GE(attempts[i] - attempts[i - 1], pause) << i;
    EXPECT_LE(attempts[i] - attempts[i - 1], pause + 101) << i;
  }
  // Up for long enough after the last return: the next loss is tried at once again.
  rig.clock.advance(60000);
  ASSERT_TRUE(rig.line->isUp());
  rig.scripted().lose();
  rig.clock.advance(1);
  const VirtualClock::Ms lostAt = rig.clock.now();
  rig.clock.advance(5);
  EXPECT_TRUE(rig.line->isUp());
  EXPECT_EQ(rig.attemptsSince(lostAt).size(), 1U);
}

TEST(ReopeningLine, AnAbsentDeviceIsTriedWhenItAppearsAndNotByTheClock) {
  Rig rig(false);
  rig.host.peer = Peer::Away;
  rig.line->start();
  rig.clock.advance(600000);
  EXPECT_TRUE(rig.host.attempts.empty());
  EXPECT_EQ(rig.downs, std::vector<Kind>{Kind::Absent});
  EXPECT_TRUE(rig.host.watching);
  rig.host.appear();
  EXPECT_TRUE(rig.line->isUp());
  EXPECT_EQ(rig.host.attempts, std::vector<VirtualClock::Ms>{600000});
  EXPECT_EQ(rig.events, std::vector<std::string>{"up"});
  EXPECT_FALSE(rig.host.watching);
}

TEST(ReopeningLine, EachNewReasonIsReportedOnceWhileWaiting) {
  Rig rig(false);
  const Peer script[] = {Peer::Busy, Peer::Busy, Peer::Forbidden, Peer::Forbidden, Peer::Busy};
  rig.host.peer = script[0];
  rig.line->start();
  for (const Peer peer : script) {
    rig.host.peer = peer;
    rig.clock.advance(kLongestRetryMs);
  }
  EXPECT_EQ(rig.downs, (std::vector<Kind>{Kind::Busy, Kind::NoPermission, Kind::Busy}));
  // Once up, the same reason is news again.
  rig.host.peer = Peer::Answers;
  rig.clock.advance(kLongestRetryMs);
  ASSERT_TRUE(rig.line->isUp());
  rig.host.peer = Peer::Busy;
  rig.scripted().lose();
  rig.clock.advance(kLongestRetryMs);
  EXPECT_EQ(rig.downs, (std::vector<Kind>{Kind::Busy, Kind::NoPermission, Kind::Busy, Kind::Lost,
                                          Kind::Busy}));
}

TEST(ReopeningLine, BytesTravelWithTheirReportOnlyWhileUp) {
  Rig rig(false);
  rig.line->start();
  rig.scripted().arrive("R0\r");
  rig.scripted().arrive("");
  rig.clock.advance(1);
  EXPECT_EQ(rig.events, (std::vector<std::string>{"up", "bytes R0\r"}));
  EXPECT_TRUE(rig.line->write("C00\r"));
  EXPECT_EQ(rig.scripted().written, "C00\r");
  rig.line->stop();
  rig.scripted().arrive("late");
  rig.clock.advance(1);
  EXPECT_EQ(rig.events.size(), 2U);
  EXPECT_FALSE(rig.line->write("C01\r"));
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

// stop() ends the wait whatever it is doing, also from inside a report.
TEST(ReopeningLine, NothingIsReportedOrTriedAfterStop) {
  struct Case {
    const char* what;
    std::function<void(Rig&)> upToStop;
  };
  const auto lostToARefusingServer = [](Rig& rig) {
    rig.line->start();
    rig.clock.advance(1);
    rig.host.peer = Peer::Refuses;
    rig.scripted().lose();
  };
  const Case cases[] = {
      {"while a pause runs",
       [&](Rig& rig) {
         lostToARefusingServer(rig);
         rig.clock.advance(500);
         ASSERT_TRUE(rig.retry.isEnabled());
         rig.line->stop();
       }},
      {"while an attempt is pending",
       [](Rig& rig) {
         rig.host.peer = Peer::Refuses;
         rig.line->start();
         rig.line->stop();
       }},
      {"from inside the report of the loss",
       [&](Rig& rig) {
         rig.line->onDown = [&rig](const LineFailure& /*failure*/) { rig.line->stop(); };
         lostToARefusingServer(rig);
         rig.clock.advance(1);
       }},
      {"while up",
       [](Rig& rig) {
         rig.line->start();
         rig.clock.advance(1);
         ASSERT_TRUE(rig.line->isUp());
         rig.line->stop();
       }},
  };
  for (const Case& c : cases) {
    Rig rig(true);
    c.upToStop(rig);
    const std::size_t attempts = rig.host.attempts.size();
    const std::size_t reports = rig.events.size() + rig.downs.size();
    rig.host.appear();
    rig.clock.advance(120000);
    EXPECT_EQ(rig.host.attempts.size(), attempts) << c.what;
    EXPECT_EQ(rig.events.size() + rig.downs.size(), reports) << c.what;
    EXPECT_FALSE(rig.line->isUp()) << c.what;
    EXPECT_FALSE(rig.line->isWaiting()) << c.what;
    EXPECT_FALSE(rig.retry.isEnabled()) << c.what;
    EXPECT_FALSE(rig.host.watching) << c.what;
  }
}

TEST(ReopeningLine, DestroyedMidAttemptItIsNeverReachedAgain) {
  Rig rig(true);
  rig.host.peer = Peer::Refuses;
  rig.line->start();  // pending: the refusal would come on the next turn
  ASSERT_EQ(rig.host.attempts.size(), 1U);
  rig.line.reset();
  EXPECT_FALSE(rig.host.onDeviceAppeared);
  EXPECT_FALSE(rig.retry.onTick);
  EXPECT_FALSE(rig.host.watching);
  rig.clock.advance(120000);
  EXPECT_TRUE(rig.events.empty());
  EXPECT_TRUE(rig.downs.empty());
  EXPECT_EQ(rig.host.attempts.size(), 1U);
}

}  // namespace
}  // namespace mero::link
