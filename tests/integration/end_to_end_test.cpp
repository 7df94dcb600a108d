// The whole panel driven through its window as an operator would, against the virtual
// projector on a pseudo-terminal: real mouse and key events, the real serial port, the real
// timers.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <QTest>
#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "link/protocol/monitor_text.h"
#include "panel_on_pty.h"

namespace mero::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kWaitMs = 3000;
// The reply and monitor timers of a status key before any key has set them.
constexpr int kStartReplyMs = panel::kTimer2Start;
constexpr int kStartMonitorMs = panel::kTimer4Start;
// Timers never fire early; this margin only absorbs how the test reads the clock.
constexpr double kEarliestTickShare = 0.8;

std::string Monitor(std::string_view text) { return link::MonitorText(text); }

double MsSince(Clock::time_point from) {
  return std::chrono::duration<double, std::milli>(Clock::now() - from).count();
}

vp::PowerState PowerOf(vp::PtyServer& server) {
  vp::PowerState power = vp::PowerState::StandBy;
  server.WithProjector([&](vp::Projector& projector, vp::Ms now) { power = projector.Power(now); });
  return power;
}

// Clicks a key, waits for its reply and for the reply window to close behind it, so that the
// next reply is decoded on its own.
void ClickAndLetTheWindowClose(PanelOnPty& rig, std::string_view control) {
  const std::uint64_t before = rig.projector->CommandCount();
  rig.click(control);
  ASSERT_TRUE(rig.projector->WaitForCommands(before + 1, 2s)) << control;
  ASSERT_TRUE(rig.waitFor([&] { return !rig.form().state.rxBuffer.empty(); }, kWaitMs))
      << control << ": no reply arrived";
  ASSERT_TRUE(rig.waitFor([&] { return rig.replyWindowClosed(); }, kWaitMs)) << control;
}

// ---- Power-up as the status key reports it ----

TEST(EndToEnd, PowerOnCountsDownAndThenReportsPowerOn) {
  constexpr vp::Ms kWarmUpMs = 2000;
  vp::ServerOptions options;
  options.projector.warmUpMs = kWarmUpMs;
  PanelOnPty rig(options);
  rig.window().setWindowHeight(panel::kFullHeight);

  ASSERT_NO_FATAL_FAILURE(ClickAndLetTheWindowClose(rig, "Command17"));  // POWER "ON"
  ASSERT_EQ(rig.projector->Commands().front().command, "C00");
  rig.click("Command44");  // "STATUS"
  EXPECT_EQ(rig.caption("Label11"), " C R 0 CR ");
  EXPECT_TRUE(rig.waitFor([&] { return rig.caption("Label22") == " Count down"; }, kWaitMs))
      << rig.caption("Label12") << " / " << rig.caption("Label22");

  ASSERT_TRUE(rig.waitFor([&] { return PowerOf(*rig.projector) == vp::PowerState::On; },
                          static_cast<int>(kWarmUpMs) + kWaitMs));
  ASSERT_TRUE(rig.waitFor([&] { return rig.replyWindowClosed(); }, kWaitMs));
  // The monitor timer wipes the old status, so the new one is seen arriving.
  ASSERT_TRUE(rig.waitFor([&] { return rig.caption("Label22").empty(); }, kWaitMs));
  rig.click("Command44");
  EXPECT_TRUE(rig.waitFor([&] { return rig.caption("Label22") == " Power ON"; }, kWaitMs))
      << rig.caption("Label12") << " / " << rig.caption("Label22");
}

// ---- The five status keys ----

struct StatusKeyCase {
  const char* name;
  std::function<void(vp::ProjectorSettings&)> setUp;
  std::vector<const char*> keysFirst;  // keys that change the projector's state beforehand
  const char* key;
  const char* query;
  const char* status;
};

TEST(EndToEnd, EachStatusKeyDecodesTheProjectorsReply) {
  auto defaults = [](vp::ProjectorSettings&) {};
  const std::vector<StatusKeyCase> cases = {
      {"stand-by", defaults, {}, "Command44", "CR0", " Stand by"},
      {"input at start", defaults, {}, "Command45", "CR1", " Computer 1"},
      {"input PC2", defaults, {"Command28"}, "Command45", "CR1", " Computer 2"},
      {"input video", defaults, {"Command29"}, "Command45", "CR1", " Video"},
      {"picture normal", defaults, {}, "Command47", "CR4", " Normally"},
      {"picture upside down",
       [](vp::ProjectorSettings& s) { s.flipTopBottom = true; },
       {},
       "Command47",
       "CR4",
       " Top/Bottom reversal"},
      {"picture mirrored",
       [](vp::ProjectorSettings& s) { s.flipLeftRight = true; },
       {},
       "Command47",
       "CR4",
       " Left/Right reversal"},
      {"picture turned",
       [](vp::ProjectorSettings& s) {
         s.flipTopBottom = true;
         s.flipLeftRight = true;
       },
       {},
       "Command47",
       "CR4",
       " Top/Bottom , Left/Right reversal"},
      // The projector answers "+25.5  30.1 +28.0".
      {"temperatures at start",
       defaults,
       {},
       "Command54",
       "CR6",
       "  S1= + 2 5 . 5 C  ,   S2=  3 0 . 1 C , S3= + 2 8 . 0 C"},
      // "-05.0  07.5 -12.5"
      {"temperatures below zero",
       [](vp::ProjectorSettings& s) {
         s.temperature1 = -5.0;
         s.temperature2 = 7.5;
         s.temperature3 = -12.5;
       },
       {},
       "Command54",
       "CR6",
       "  S1= - 0 5 . 0 C  ,   S2=  0 7 . 5 C , S3= - 1 2 . 5 C"},
      {"lamp hours",
       [](vp::ProjectorSettings& s) { s.lampHours = 1234; },
       {},
       "Command46",
       "CR3",
       " 0 1 2 3 4 CR  Hour Use"},
      {"lamp hours at the counter's end",
       [](vp::ProjectorSettings& s) { s.lampHours = 99999; },
       {},
       "Command46",
       "CR3",
       " 9 9 9 9 9 CR  Hour Use"},
  };
  for (const StatusKeyCase& c : cases) {
    SCOPED_TRACE(c.name);
    vp::ServerOptions options;
    c.setUp(options.projector);
    PanelOnPty rig(options);
    rig.window().setWindowHeight(panel::kFullHeight);
    for (const char* key : c.keysFirst) {
      ASSERT_NO_FATAL_FAILURE(ClickAndLetTheWindowClose(rig, key));
    }

    rig.click(c.key);
    EXPECT_EQ(rig.caption("Label11"), Monitor(std::string(c.query) + "\r"));
    EXPECT_TRUE(rig.waitFor([&] { return rig.caption("Label22") == c.status; }, kWaitMs))
        << "received \"" << rig.caption("Label12") << "\", status \"" << rig.caption("Label22")
        << '"';
    EXPECT_EQ(rig.projector->Commands().back().command, c.query);
  }
}

// ---- The typed queries ----

struct TypedQueryCase {
  const char* typed;
  std::function<void(vp::ProjectorSettings&)> setUp;
  const char* status;
};

TEST(EndToEnd, TypedQueriesSentWithSendAreDecoded) {
  auto defaults = [](vp::ProjectorSettings&) {};
  const std::vector<TypedQueryCase> cases = {
      {"CR7", defaults, " All OFF : 2 Lamp mode"},
      {"CR7", [](vp::ProjectorSettings& s) { s.lampMode = vp::LampMode::OnlyLamp2; },
       " All OFF : 1 Lamp mode(No2 USE)"},
      {"CR9", defaults, " Q M 5 0   V I R T U A L   1 . 4 0 CR "},
      {"CRA", defaults, " Stand by"},
      {"CR PRESSURE", defaults, "650 hPa"},
      {"CR PRESSURE", [](vp::ProjectorSettings& s) { s.pressureReading = 1000; }, "1169 hPa"},
  };
  for (const TypedQueryCase& c : cases) {
    SCOPED_TRACE(c.typed);
    vp::ServerOptions options;
    c.setUp(options.projector);
    PanelOnPty rig(options);
    rig.window().setWindowHeight(panel::kFullHeight);

    QTest::keyClicks(rig.control("Text1"), QString::fromLatin1(c.typed));
    rig.click("Command95");  // "SEND"
    EXPECT_EQ(rig.caption("Label11"), Monitor(std::string(c.typed) + "\r"));
    EXPECT_TRUE(rig.waitFor([&] { return rig.caption("Label22") == c.status; }, kWaitMs))
        << "received \"" << rig.caption("Label12") << "\", status \"" << rig.caption("Label22")
        << '"';
    ASSERT_TRUE(rig.projector->WaitForCommands(1, 1s));
    EXPECT_EQ(rig.projector->Commands().front().command, c.typed);
  }
}

// ---- Reply timer and monitor timer ----

TEST(EndToEnd, DroppedReplyIsMarkedFromTheReplyTimerUntilTheMonitorTimer) {
  PanelOnPty rig;
  rig.window().setWindowHeight(panel::kFullHeight);
  rig.projector->DropNextReply();

  const Clock::time_point sent = Clock::now();
  rig.click("Command44");
  EXPECT_EQ(rig.caption("Label12"), "");
  ASSERT_TRUE(rig.waitFor([&] { return rig.caption("Label12") == " X X X X"; }, kWaitMs));
  EXPECT_GE(MsSince(sent), kEarliestTickShare * kStartReplyMs);
  EXPECT_EQ(rig.caption("Label11"), " C R 0 CR ");
  EXPECT_EQ(rig.caption("Label22"), "");

  ASSERT_TRUE(rig.waitFor([&] { return rig.caption("Label12").empty(); }, kWaitMs));
  EXPECT_GE(MsSince(sent), kEarliestTickShare * kStartMonitorMs);
  EXPECT_EQ(rig.caption("Label11"), "");
  const auto commands = rig.projector->Commands();
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_TRUE(commands.front().replyDropped);
}

TEST(EndToEnd, AnyTextBeforeTheReplyTimerKeepsTheNoReplyMarkAway) {
  PanelOnPty rig;
  rig.window().setWindowHeight(panel::kFullHeight);
  rig.projector->DropNextReply();
  rig.click("Command44");
  rig.projector->SendRaw("?");
  ASSERT_TRUE(rig.waitFor([&] { return rig.caption("Label12") == " ? "; }, kWaitMs));
  ASSERT_TRUE(rig.waitFor([&] { return rig.form().state.rxBuffer.empty(); }, kWaitMs));
  // The reply timer has ticked; the stray text stays until the monitor timer wipes it.
  EXPECT_EQ(rig.caption("Label12"), " ? ");
  EXPECT_EQ(rig.caption("Label11"), " C R 0 CR ");
  ASSERT_TRUE(rig.waitFor([&] { return rig.caption("Label11").empty(); }, kWaitMs));
  EXPECT_EQ(rig.caption("Label12"), "");
}

TEST(EndToEnd, ReplyInPiecesDecodesOnceItsKeyIsComplete) {
  PanelOnPty rig;
  rig.window().setWindowHeight(panel::kFullHeight);
  rig.projector->SplitReplies(1, 30ms);
  rig.recordReceiveEvents();

  rig.click("Command44");
  ASSERT_TRUE(rig.waitFor([&] { return rig.caption("Label12") == " 8 0 CR "; }, kWaitMs))
      << rig.caption("Label12");
  EXPECT_EQ(rig.caption("Label22"), " Stand by");

  // "80" and CR, one byte each: the status key is read from the first two characters.
  ASSERT_GE(rig.receiveLog.size(), 2u) << "the pieces were not received apart";
  for (const PanelOnPty::Shown& shown : rig.receiveLog) {
    SCOPED_TRACE(shown.received);
    if (shown.received == " 8 ") {
      EXPECT_EQ(shown.status, "");
    } else {
      EXPECT_TRUE(shown.received == " 8 0 " || shown.received == " 8 0 CR ");
      EXPECT_EQ(shown.status, " Stand by");
    }
  }
  EXPECT_EQ(rig.receiveLog.front().received, " 8 ");
  EXPECT_EQ(rig.receiveLog.back().received, " 8 0 CR ");
}

// ---- Hold-to-repeat at the far end ----

TEST(EndToEnd, HeldKeyRepeatsAtItsPeriodAtTheFarEnd) {
  constexpr int kHoldMs = 1100;
  constexpr double kPeriodMs = 250;
  constexpr double kPeriodToleranceMs = 60;
  constexpr std::size_t kExpected = 5;  // at the press, then at 250, 500, 750 and 1000 ms
  PanelOnPty rig;

  QTest::mousePress(rig.control("Command1"), Qt::LeftButton);  // VOL "+"
  rig.spin(kHoldMs);
  QTest::mouseRelease(rig.control("Command1"), Qt::LeftButton);
  EXPECT_EQ(rig.caption("Label11"), "");
  EXPECT_EQ(rig.caption("Label12"), "");
  rig.spin(static_cast<int>(2 * kPeriodMs));  // nothing may follow the release

  const auto commands = rig.projector->Commands();
  ASSERT_GE(commands.size(), kExpected - 1);
  EXPECT_LE(commands.size(), kExpected + 1);
  for (const vp::ReceivedCommand& command : commands) EXPECT_EQ(command.command, "C09");
  for (std::size_t i = 1; i < commands.size(); ++i) {
    const double gap =
        std::chrono::duration<double, std::milli>(commands[i].at - commands[i - 1].at).count();
    EXPECT_NEAR(gap, kPeriodMs, kPeriodToleranceMs) << "between repeats " << i << " and " << i + 1;
  }
}

// ---- Line speed ----

TEST(EndToEnd, SpeedChoiceChangesTheOpenLineWithoutReopeningIt) {
  auto server = std::make_unique<vp::PtyServer>();
  // Opened before the panel, which takes the device for itself.
  const int device = ::open(server->DevicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(device, 0);
  auto speed = [&] {
    termios settings{};
    EXPECT_EQ(::tcgetattr(device, &settings), 0);
    return ::cfgetospeed(&settings);
  };
  PanelOnPty rig(std::move(server));
  ASSERT_TRUE(rig.panel->port().isOpen());
  EXPECT_EQ(speed(), static_cast<speed_t>(B19200));

  // Bytes that wait in the driver are discarded when the port is opened; they survive only
  // if the speed change leaves the port as it is.
  const std::string waiting = "speed";
  rig.projector->SendRaw(waiting);
  int queued = 0;
  for (const auto until = Clock::now() + 2s; queued < static_cast<int>(waiting.size());) {
    ASSERT_LT(Clock::now(), until) << "the bytes never reached the driver";
    std::this_thread::sleep_for(1ms);
    ASSERT_EQ(::ioctl(device, FIONREAD, &queued), 0);
  }

  rig.click("Command33");  // "COM"
  ASSERT_FALSE(rig.control("Frame8")->isHidden());
  rig.click("Option10");  // "9600"
  EXPECT_EQ(speed(), static_cast<speed_t>(B9600));
  EXPECT_TRUE(rig.panel->port().isOpen());
  EXPECT_EQ(rig.caption("Command33"), "COM");
  EXPECT_EQ(rig.form().state.portSettings, "9600,N,8,1");
  EXPECT_TRUE(rig.control("Frame8")->isHidden());
  EXPECT_TRUE(rig.waitFor([&] { return rig.form().state.rxBuffer == waiting; }, kWaitMs))
      << '"' << rig.form().state.rxBuffer << '"';
  EXPECT_TRUE(rig.boxes.empty());
  ::close(device);
}

}  // namespace
}  // namespace mero::test
