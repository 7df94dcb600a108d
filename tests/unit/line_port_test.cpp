// The form's port over the reopening line, on the virtual clock: what the operator is told of a
// lost, refused or returning port, that the operator's own choice ends the wait, and the bytes
// handed to the form.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "panel/com_port.h"
#include "scripted_line.h"
#include "virtual_clock.h"

namespace mero::link {
namespace {

using test::Peer;
using test::ScriptedLine;

// The port as the panel drives it: a loss is answered by waiting for the port's return.
struct Rig : test::LineRig {
  explicit Rig(bool network)
      : LineRig(network),
        port({address(network), "", false}, {"/dev/ttyS1", "", false}, host, {retry, settle}) {
    port.onLost = [this](const panel::PortFailure& failure) {
      notices.push_back("lost: " + failure.description);
      port.reopenWhenBack(port.portNumber());
    };
    port.onRestored = [this](const std::string& text) { notices.push_back("back: " + text); };
    port.onNotice = [this](const std::string& text) { notices.push_back("notice: " + text); };
  }
  ScriptedLine& line() { return scripted(); }

  panel::ComPort port;
  std::vector<std::string> notices;
};

bool StartsWith(const std::string& text, const std::string& start) {
  return text.rfind(start, 0) == 0;
}

TEST(PortPolicy, ALostDeviceIsOpenedWhenItAppearsWithOneNoticeEachWay) {
  Rig rig(false);
  ASSERT_TRUE(rig.port.open());
  rig.clock.advance(60000);  // a line that has been up a good while
  rig.loseTo(Peer::Away);
  rig.clock.advance(10);
  EXPECT_FALSE(rig.port.isOpen());
  EXPECT_FALSE(rig.port.write("C00\r"));
  EXPECT_TRUE(rig.line().written.empty());
  // Away, it costs nothing: no attempt until the device appears, however long that takes.
  const std::size_t attempts = rig.host.attempts.size();
  rig.clock.advance(600000);
  EXPECT_EQ(rig.host.attempts.size(), attempts);
  EXPECT_TRUE(rig.host.watching);
  rig.host.appear();
  EXPECT_TRUE(rig.port.isOpen());
  ASSERT_EQ(rig.notices.size(), 2U);
  EXPECT_TRUE(StartsWith(rig.notices[0], "lost: COM1 (/dev/ttyUSB0) was disconnected"));
  EXPECT_EQ(rig.notices[1], "back: COM1 (/dev/ttyUSB0) is back and open again at 9600,N,8,1.");
  EXPECT_FALSE(rig.retry.isEnabled());
  EXPECT_FALSE(rig.host.watching);
}

// Whatever kind of failure keeps coming, the operator hears of it once, and of the port's return.
// The pauses between the attempts are the reopening line's (reopening_line_test.cpp).
TEST(PortPolicy, ARepeatedFailureIsToldOnceAndTheReturnAsItComes) {
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
      {"a device held by another program",
       false,
       Peer::Busy,
       {"lost: COM1 (/dev/ttyUSB0) was disconnected",
        "notice: COM1 (/dev/ttyUSB0) is in use by another program (picocom, process 7)"}},
      {"a device this user may not use",
       false,
       Peer::Forbidden,
       {"lost: COM1 (/dev/ttyUSB0) was disconnected",
        "notice: No permission to use COM1 (/dev/ttyUSB0). The device belongs to the group "
        "\"dialout\""}},
  };
  for (const Case& c : cases) {
    Rig rig(c.network);
    ASSERT_TRUE(rig.port.open()) << c.what;
    rig.clock.advance(60000);
    rig.loseTo(c.peer);
    rig.clock.advance(121500);
    EXPECT_GE(rig.host.attempts.size(), 8U) << c.what;
    ASSERT_EQ(rig.notices.size(), c.notices.size()) << c.what;
    for (std::size_t i = 0; i < c.notices.size(); ++i) {
      EXPECT_TRUE(StartsWith(rig.notices[i], c.notices[i])) << c.what << ": " << rig.notices[i];
    }
    EXPECT_TRUE(rig.port.isWatching()) << c.what;
    EXPECT_FALSE(rig.port.write("C00\r")) << c.what;
    // Back again: opened at the next attempt, told once.
    rig.host.peer = Peer::Answers;
    rig.clock.advance(31000);
    EXPECT_TRUE(rig.port.isOpen()) << c.what;
    EXPECT_FALSE(rig.port.isWatching()) << c.what;
    EXPECT_TRUE(StartsWith(rig.notices.back(), "back: COM1 (")) << c.what;
    EXPECT_EQ(rig.notices.size(), c.notices.size() + 1) << c.what;
  }
}

// A server that accepts and closes at once is each time a return and a loss, never more than
// one of each per attempt.
TEST(PortPolicy, AServerThatClosesAtOnceIsToldAsEachReturnAndLoss) {
  Rig rig(true);
  ASSERT_TRUE(rig.port.open());
  rig.clock.advance(60000);
  rig.loseTo(Peer::AcceptsThenCloses);
  rig.clock.advance(121500);
  ASSERT_GE(rig.notices.size(), 3U);
  EXPECT_LE(rig.notices.size(), 2 * rig.host.attempts.size());
  for (std::size_t i = 1; i < rig.notices.size(); ++i) {
    EXPECT_TRUE(StartsWith(rig.notices[i], i % 2 == 1 ? "back: " : "lost: ")) << rig.notices[i];
  }
}

TEST(PortPolicy, TheOperatorsChoiceEndsTheWait) {
  Rig rig(true);
  ASSERT_TRUE(rig.port.open());
  rig.clock.advance(60000);
  rig.loseTo(Peer::Refuses);
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

// The bytes come with their event; a form that does not take them finds only the newest.
TEST(PortArrivals, BytesComeWithTheirEventAndWaitingOnesAreBounded) {
  Rig rig(false);
  std::vector<int> events;
  rig.port.onEvent = [&events](int kind) { events.push_back(kind); };
  ASSERT_TRUE(rig.port.open());
  rig.line().arrive("R0\r");
  rig.line().arrive("");
  rig.clock.advance(1);
  EXPECT_EQ(events, std::vector<int>{panel::kEventReceive});
  EXPECT_EQ(rig.port.takeAll(), "R0\r");
  EXPECT_EQ(rig.port.takeAll(), "");

  const Bytes older(panel::kReceivedLimit, 'a');
  const Bytes newer = Bytes(panel::kReceivedLimit / 2, 'b') + "end";
  rig.line().arrive(older);
  rig.clock.advance(1);
  rig.line().arrive(newer);
  rig.clock.advance(1);
  const Bytes waiting = rig.port.takeAll();
  ASSERT_EQ(waiting.size(), panel::kReceivedLimit);
  EXPECT_EQ(waiting.substr(waiting.size() - newer.size()), newer);
  EXPECT_EQ(waiting.front(), 'a');

  // Closed, the port raises nothing and hands over nothing.
  events.clear();
  rig.port.close();
  rig.line().arrive("late");
  rig.clock.advance(1);
  EXPECT_TRUE(events.empty());
  EXPECT_EQ(rig.port.takeAll(), "");
}

// With COM1 named at start the ports are not looked through: COM2 takes the first of them that
// is not COM1's when they are, and a COM with its device keeps it.
TEST(PortMapping, AComWithNoPortFindsOneWhenThePortsAreLookedThrough) {
  test::LineRig rig(false);
  auto& host = rig.host;
  for (const char* device : {"/dev/ttyUSB0", "/dev/ttyUSB1"}) {
    PortInfo adapter;
    adapter.device = device;
    adapter.kind = PortInfo::Kind::Adapter;
    host.ports.push_back(adapter);
  }
  panel::ComPort port({"/dev/ttyUSB0", "", false}, {kFallbackCom2, "", true}, host,
                      {rig.retry, rig.settle});
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
