// The port's reopening policy, on the virtual clock: when a lost, refused or flapping line is
// tried again, what the operator is told, and that the operator's own choice ends the wait.
#include "link/port/line_port.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "virtual_clock.h"

namespace mero::link {
namespace {

using test::VirtualClock;
using Kind = LineFailure::Kind;

// What the far end does with each attempt to open the line.
enum class Peer {
  Away,               // the device is not there
  Answers,            // opens and stays
  Refuses,            // the server refuses the connection
  Busy,               // the device is held by another program
  AcceptsThenCloses,  // a server that accepts and closes at once
};

// A line whose far end the test scripts; reports come from the clock, as from an event loop.
class ScriptedLine : public Line {
 public:
  ScriptedLine(VirtualClock& clock, Peer& peer, std::vector<VirtualClock::Ms>& attempts,
               bool network)
      : clock_(clock), peer_(peer), attempts_(attempts), network_(network) {}

  Opening open(const LineSettings& settings) override {
    settings_ = settings;
    attempts_.push_back(clock_.now());
    switch (peer_) {
      case Peer::Away:
        failure_ = {Kind::Absent};
        return Opening::Failed;
      case Peer::Busy:
        failure_ = {Kind::Busy, "", "picocom, process 7"};
        return Opening::Failed;
      case Peer::Answers:
        open_ = true;
        if (!network_) return Opening::Open;
        report([this] {
          if (onOpened) onOpened();
        });
        return Opening::Pending;
      case Peer::Refuses:
        open_ = true;
        report([this] { fail({Kind::Unreachable, "Connection refused"}); });
        return Opening::Pending;
      case Peer::AcceptsThenCloses:
        open_ = true;
        report([this] {
          if (onOpened) onOpened();
          report([this] { fail({Kind::Lost, "the server closed it"}); });
        });
        return Opening::Pending;
    }
    return Opening::Failed;
  }
  LineFailure failure() const override { return failure_; }
  void close() override {
    open_ = false;
    ++session_;
  }
  bool isOpen() const override { return open_; }
  bool write(const Bytes& bytes) override {
    if (!open_) return false;
    written += bytes;
    return true;
  }
  Bytes takeAll() override { return {}; }
  bool apply(const LineSettings& settings) override {
    settings_ = settings;
    return true;
  }
  bool mayBePresent() const override { return network_ || peer_ != Peer::Away; }
  std::vector<std::string> presencePaths() const override { return {}; }

  // The open line going away under the port.
  void lose() {
    report([this] { fail({Kind::Lost}); });
  }

  Bytes written;

 private:
  void report(std::function<void()> what) {
    clock_.after(0, [this, session = session_, what = std::move(what)] {
      if (session == session_) what();
    });
  }
  void fail(const LineFailure& failure) {
    open_ = false;
    ++session_;
    if (onFailed) onFailed(failure);
  }

  VirtualClock& clock_;
  Peer& peer_;
  std::vector<VirtualClock::Ms>& attempts_;
  bool network_;
  LineSettings settings_;
  LineFailure failure_;
  bool open_ = false;
  int session_ = 0;
};

class ScriptedHost : public LineHost {
 public:
  ScriptedHost(VirtualClock& clock, bool network) : clock_(clock), network_(network) {}

  std::unique_ptr<Line> makeLine(const ComDevice& /*device*/) override {
    auto line = std::make_unique<ScriptedLine>(clock_, peer, attempts, network_);
    lines.push_back(line.get());
    return line;
  }
  std::vector<PortInfo> systemPorts() override {
    ++lookups;
    return ports;
  }
  void watch(const std::vector<std::string>& /*paths*/) override { watching = true; }
  void stopWatching() override { watching = false; }

  // The device (re)appearing, as the file system tells it.
  void appear() {
    peer = Peer::Answers;
    if (watching && onDeviceAppeared) onDeviceAppeared();
  }

  Peer peer = Peer::Answers;
  std::vector<PortInfo> ports;  // the machine's serial ports
  int lookups = 0;
  std::vector<VirtualClock::Ms> attempts;
  std::vector<ScriptedLine*> lines;
  bool watching = false;

 private:
  VirtualClock& clock_;
  bool network_;
};

// The port as the panel drives it: a loss is answered by waiting for the port's return.
struct Rig {
  explicit Rig(bool network)
      : host(clock, network),
        port({network ? "tcp://127.0.0.1:4000" : "/dev/ttyUSB0", "", false},
             {"/dev/ttyS1", "", false}, host, {retry, settle}) {
    port.onLost = [this](const PortFailure& failure) {
      notices.push_back("lost: " + failure.description);
      port.reopenWhenBack(port.portNumber());
    };
    port.onRestored = [this](const std::string& text) { notices.push_back("back: " + text); };
    port.onNotice = [this](const std::string& text) { notices.push_back("notice: " + text); };
  }
  ScriptedLine& line() { return *host.lines.back(); }
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
  LinePort port;
  std::vector<std::string> notices;
};

bool StartsWith(const std::string& text, const std::string& start) {
  return text.rfind(start, 0) == 0;
}

TEST(PortPolicy, ALostDeviceIsOpenedWhenItAppearsWithOneNoticeEachWay) {
  Rig rig(false);
  ASSERT_TRUE(rig.port.open());
  rig.clock.advance(60000);  // a line that has been up a good while
  rig.host.peer = Peer::Away;
  rig.line().lose();
  rig.clock.advance(10);
  EXPECT_FALSE(rig.port.isOpen());
  EXPECT_FALSE(rig.port.write("C00\r"));
  EXPECT_TRUE(rig.line().written.empty());
  // Away, it costs nothing: no attempt until the device appears, however long that takes.
  const std::size_t attempts = rig.host.attempts.size();
  rig.clock.advance(600000);
  EXPECT_LE(rig.host.attempts.size(), attempts + 1);
  rig.host.appear();
  EXPECT_TRUE(rig.port.isOpen());
  ASSERT_EQ(rig.notices.size(), 2U);
  EXPECT_TRUE(StartsWith(rig.notices[0], "lost: COM1 (/dev/ttyUSB0) was disconnected"));
  EXPECT_EQ(rig.notices[1], "back: COM1 (/dev/ttyUSB0) is back and open again at 9600,N,8,1.");
  EXPECT_FALSE(rig.retry.isEnabled());
  EXPECT_FALSE(rig.host.watching);
}

// Each failure that keeps coming is tried again after 1, 2, 4 ... 30 seconds, whatever kind
// it is, and the operator hears of it once.
TEST(PortPolicy, EveryKindOfRepeatedFailureWaitsLongerEachTime) {
  const std::vector<VirtualClock::Ms> backOff = {0,     1000,  3000,  7000,  15000,
                                                 31000, 61000, 91000, 121000};
  struct Case {
    const char* what;
    bool network;
    Peer peer;
    std::vector<std::string> notices;
  };
  const Case cases[] = {
      {"a server that refuses",
       true,
       Peer::Refuses,
       {"lost: COM1 (tcp://127.0.0.1:4000) was disconnected"}},
      {"a server that accepts and closes", true, Peer::AcceptsThenCloses, {}},
      {"a device held by another program",
       false,
       Peer::Busy,
       {"lost: COM1 (/dev/ttyUSB0) was disconnected",
        "notice: COM1 (/dev/ttyUSB0) is in use by another program (picocom, process 7)"}},
  };
  for (const Case& c : cases) {
    Rig rig(c.network);
    ASSERT_TRUE(rig.port.open()) << c.what;
    rig.clock.advance(60000);
    rig.host.peer = c.peer;
    rig.line().lose();
    rig.clock.advance(1);
    const VirtualClock::Ms lostAt = rig.clock.now();
    rig.clock.advance(121500);
    const std::vector<VirtualClock::Ms> attempts = rig.attemptsSince(lostAt);
    ASSERT_EQ(attempts.size(), backOff.size()) << c.what;
    for (std::size_t i = 0; i < backOff.size(); ++i) {
      EXPECT_NEAR(static_cast<double>(attempts[i]), static_cast<double>(backOff[i]), 2.0)
          << c.what << ", attempt " << i;
    }
    if (c.peer == Peer::AcceptsThenCloses) {
      // Each short-lived connection is news, but never more than one notice per attempt.
      EXPECT_LE(rig.notices.size(), 2 * attempts.size() + 1) << c.what;
    } else {
      ASSERT_EQ(rig.notices.size(), c.notices.size()) << c.what;
      for (std::size_t i = 0; i < c.notices.size(); ++i) {
        EXPECT_TRUE(StartsWith(rig.notices[i], c.notices[i])) << c.what << ": " << rig.notices[i];
      }
    }
    // Back again: opened at the next attempt, and a line that then stays up starts afresh.
    rig.host.peer = Peer::Answers;
    rig.clock.advance(31000);
    EXPECT_TRUE(rig.port.isOpen()) << c.what;
    EXPECT_TRUE(StartsWith(rig.notices.back(), "back: ")) << c.what;
  }
}

TEST(PortPolicy, AFlappingDeviceIsTriedWithGrowingPausesThatEndOnceItStaysUp) {
  Rig rig(false);
  ASSERT_TRUE(rig.port.open());
  rig.clock.advance(60000);
  // Lost right after every return, and back at once each time: 50 flaps.
  for (int flap = 0; flap < 50; ++flap) {
    if (rig.port.isOpen()) rig.line().lose();
    rig.clock.advance(1);
    rig.host.appear();
    rig.clock.advance(100);
  }
  // The device appeared 50 times in 5 s; only the pauses' ends opened it: 0 and then
  // 1, 2 and 4 s later.
  EXPECT_LE(rig.host.attempts.size(), 1U + 4U);
  rig.clock.advance(60000);
  // Up for long enough: the next loss is tried at once again.
  ASSERT_TRUE(rig.port.isOpen());
  rig.line().lose();
  rig.clock.advance(1);
  const VirtualClock::Ms lostAt = rig.clock.now();
  rig.clock.advance(5);
  EXPECT_TRUE(rig.port.isOpen());
  EXPECT_EQ(rig.attemptsSince(lostAt).size(), 1U);
}

TEST(PortPolicy, TheOperatorsChoiceEndsTheWait) {
  Rig rig(true);
  ASSERT_TRUE(rig.port.open());
  rig.clock.advance(60000);
  rig.host.peer = Peer::Refuses;
  rig.line().lose();
  rig.clock.advance(4000);
  ASSERT_TRUE(rig.port.isWatching());
  // The operator closes the port and picks COM2: no attempt on COM1 follows.
  rig.port.close();
  ASSERT_TRUE(rig.port.setPortNumber(2));
  const std::size_t attempts = rig.host.attempts.size();
  rig.clock.advance(120000);
  EXPECT_EQ(rig.host.attempts.size(), attempts);
  EXPECT_FALSE(rig.port.isWatching());
  EXPECT_FALSE(rig.retry.isEnabled());
}

// With COM1 named at start the ports are not looked through: COM2 takes the first of them that
// is not COM1's when they are, and a COM with its device keeps it.
TEST(PortMapping, AComWithNoPortFindsOneWhenThePortsAreLookedThrough) {
  VirtualClock clock;
  VirtualClock::Timer retry{clock};
  VirtualClock::Timer settle{clock};
  ScriptedHost host(clock, false);
  for (const char* device : {"/dev/ttyUSB0", "/dev/ttyUSB1"}) {
    PortInfo adapter;
    adapter.device = device;
    adapter.kind = PortInfo::Kind::Adapter;
    host.ports.push_back(adapter);
  }
  LinePort port({"/dev/ttyUSB0", "", false}, {kFallbackCom2, "", true}, host, {retry, settle});
  ASSERT_TRUE(port.open());
  EXPECT_EQ(host.lookups, 0);
  EXPECT_EQ(port.device(2).path, kFallbackCom2);

  port.findMissingPorts();
  EXPECT_EQ(port.device(2).path, "/dev/ttyUSB1");
  EXPECT_FALSE(port.device(2).fallback);
  EXPECT_EQ(port.device(1).path, "/dev/ttyUSB0");
  EXPECT_TRUE(port.isOpen());
  const int lookups = host.lookups;
  port.findMissingPorts();
  EXPECT_EQ(host.lookups, lookups);
}

}  // namespace
}  // namespace mero::link
