// Start-up, the port and speed choice, the selection frame and END.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rig.h"

namespace mero::test {
namespace {

using Calls = std::vector<std::string>;

constexpr const char* kPortOpen = "COM";
constexpr const char* kPortClosed = "COM  (port closed)";
constexpr int kFrameHideMs = 5000;

// The fake window: the defined client area plus its borders, on a 1920 x 1080 pixel screen.
constexpr int kDefinedWidth = 9495 + 120;
constexpr int kDefinedHeight = 8730 + 370;
constexpr int kScreenWidth = 1920 * 15;
constexpr int kScreenHeight = 1080 * 15;

// The operator choosing a port: the window marks the option, then raises its handler.
void ChoosePort(Rig& rig, int number) {
  if (number == 1) {
    rig.surface.mark("Option1");
    rig.form.Option1_Click();
  } else {
    rig.surface.mark("Option2");
    rig.form.Option2_Click();
  }
}

TEST(StartUp, OpensPortOneAtFullSpeedAndReopensItOnce) {
  Rig rig;
  EXPECT_EQ(rig.port.calls, (Calls{"settings 19200,N,8,1", "open 1", "close 1", "open 1"}));
  EXPECT_TRUE(rig.port.isOpen());
  EXPECT_EQ(rig.port.portNumber(), 1);
  EXPECT_EQ(rig.port.settings(), "19200,N,8,1");
  EXPECT_EQ(rig.form.state.portSettings, "19200,N,8,1");
  EXPECT_EQ(rig.form.state.commandPrefix, "");
  EXPECT_EQ(rig.surface.caption("Command33"), kPortOpen);
  EXPECT_TRUE(rig.surface.warnings.empty());
  EXPECT_TRUE(rig.surface.notices.empty());
}

TEST(StartUp, ChosenSpeedOpensThePortAtItAndMarksIt) {
  Rig rig(false);
  rig.form.Form_Load({.at9600 = true});
  EXPECT_EQ(rig.port.calls, (Calls{"settings 9600,N,8,1", "open 1", "close 1", "open 1"}));
  EXPECT_EQ(rig.form.state.portSettings, "9600,N,8,1");
  EXPECT_TRUE(rig.surface.isMarked("Option10"));
  EXPECT_FALSE(rig.surface.isMarked("Option9"));
  EXPECT_TRUE(rig.surface.isMarked("Option1"));
}

// The top edge is where the fully opened window would sit when centred; the height is set
// only afterwards.
TEST(StartUp, PlacesTheWindowFromItsDefinedSizeThenShortensIt) {
  Rig rig;
  EXPECT_EQ(rig.surface.left, (kScreenWidth - kDefinedWidth) / 2);
  EXPECT_EQ(rig.surface.top, (kScreenHeight - kDefinedHeight) / 2);
  EXPECT_EQ(rig.surface.height, 5350);
}

TEST(StartUp, MarksHidesAndTimersAsDefined) {
  Rig rig;
  EXPECT_TRUE(rig.surface.isMarked("Option1"));
  EXPECT_FALSE(rig.surface.isMarked("Option2"));
  EXPECT_TRUE(rig.surface.isMarked("Option9"));
  EXPECT_FALSE(rig.surface.isMarked("Option10"));
  EXPECT_FALSE(rig.surface.isVisible("Frame8"));
  EXPECT_FALSE(rig.surface.isVisible("Command34"));
  EXPECT_TRUE(rig.surface.isVisible("Frame9"));

  const struct {
    const char* name;
    VirtualClock::Timer& timer;
    int interval;
  } timers[] = {{"Timer1", rig.timer1, 200},
                {"Timer2", rig.timer2, 500},
                {"Timer3", rig.timer3, 5000},
                {"Timer4", rig.timer4, 1000}};
  for (const auto& t : timers) {
    EXPECT_FALSE(t.timer.isEnabled()) << t.name;
    EXPECT_EQ(t.timer.interval(), t.interval) << t.name;
  }
  for (const char* line : {"Label11", "Label12", "Label22"}) {
    EXPECT_EQ(rig.surface.caption(line), "") << line;
  }

  // Nothing runs and nothing is sent until the operator acts.
  rig.clock.advance(3'600'000);
  EXPECT_TRUE(rig.port.writes.empty());
  for (const auto& t : timers) EXPECT_EQ(t.timer.ticks(), 0) << t.name;
}

TEST(StartUp, ResetsTheTransferState) {
  Rig rig(false);
  rig.form.state.repeatCode = 5;
  rig.form.state.replyPending = 1;
  rig.form.state.rxBuffer = "junk";
  rig.form.state.commandPrefix = "X";
  rig.form.Form_Load();
  EXPECT_EQ(rig.form.state.repeatCode, 0);
  EXPECT_EQ(rig.form.state.replyPending, 0);
  EXPECT_EQ(rig.form.state.rxBuffer, "");
  EXPECT_EQ(rig.form.state.commandPrefix, "");
  EXPECT_EQ(rig.form.state.cursorMode, 0);
  EXPECT_EQ(rig.form.state.panelLevel, 0);
}

TEST(StartUp, UnopenablePortGivesOneNoticeAndALaterChoiceOpensIt) {
  Rig rig(false);
  rig.port.present = {2};
  rig.form.Form_Load();
  EXPECT_FALSE(rig.port.isOpen());
  EXPECT_EQ(rig.surface.notices, (Calls{"COM1 is absent"}));
  EXPECT_TRUE(rig.surface.warnings.empty());
  EXPECT_EQ(rig.surface.caption("Command33"), kPortClosed);
  EXPECT_TRUE(rig.surface.isMarked("Option1"));
  EXPECT_FALSE(rig.surface.isVisible("Frame8"));
  EXPECT_EQ(rig.surface.height, 5350);

  rig.form.Command33_Click();
  ChoosePort(rig, 2);
  EXPECT_TRUE(rig.port.isOpen());
  EXPECT_EQ(rig.port.portNumber(), 2);
  EXPECT_EQ(rig.port.settings(), "19200,N,8,1");
  EXPECT_FALSE(rig.surface.isVisible("Frame8"));
  EXPECT_EQ(rig.surface.caption("Command33"), kPortOpen);
  EXPECT_TRUE(rig.surface.warnings.empty());
  EXPECT_EQ(rig.surface.notices.size(), 1u);
}

TEST(PortLost, OneNoticeThenAChoiceReopens) {
  Rig rig;
  rig.port.vanish("device removed");
  EXPECT_EQ(rig.surface.notices, (Calls{"device removed"}));
  EXPECT_TRUE(rig.surface.warnings.empty());
  EXPECT_FALSE(rig.port.isOpen());
  EXPECT_EQ(rig.surface.caption("Command33"), kPortClosed);

  rig.form.Command33_Click();
  ChoosePort(rig, 1);
  EXPECT_TRUE(rig.port.isOpen());
  EXPECT_EQ(rig.port.portNumber(), 1);
  EXPECT_EQ(rig.surface.caption("Command33"), kPortOpen);
  rig.form.Click("Command17");
  EXPECT_EQ(rig.takeSent(), (std::vector<link::Bytes>{"C00\r"}));
}

TEST(PortChoice, SecondPortOpensAndTheFrameHidesAtOnce) {
  Rig rig;
  rig.form.Command33_Click();
  EXPECT_TRUE(rig.surface.isVisible("Frame8"));
  EXPECT_TRUE(rig.timer3.isEnabled());
  rig.clock.advanceTo(1000);
  rig.port.calls.clear();

  ChoosePort(rig, 2);
  EXPECT_EQ(rig.port.calls, (Calls{"close 1", "open 2"}));
  EXPECT_TRUE(rig.port.isOpen());
  EXPECT_EQ(rig.port.portNumber(), 2);
  EXPECT_FALSE(rig.surface.isVisible("Frame8"));
  EXPECT_TRUE(rig.surface.warnings.empty());
  // The choice leaves the hiding timer running; its tick stops it.
  EXPECT_TRUE(rig.timer3.isEnabled());
  rig.clock.advanceTo(kFrameHideMs);
  EXPECT_FALSE(rig.timer3.isEnabled());
  EXPECT_FALSE(rig.surface.isVisible("Frame8"));
}

TEST(PortChoice, FailureWarnsFallsBackAndLeavesTheFrameShown) {
  Rig rig;
  rig.port.present = {1};
  rig.form.Command33_Click();
  rig.clock.advanceTo(1000);
  ChoosePort(rig, 2);

  EXPECT_EQ(rig.surface.warnings, (Calls{"COM2 is absent"}));
  EXPECT_TRUE(rig.surface.notices.empty());
  EXPECT_FALSE(rig.port.isOpen());
  EXPECT_EQ(rig.port.portNumber(), 1);
  EXPECT_TRUE(rig.surface.isVisible("Frame8"));
  EXPECT_TRUE(rig.surface.isMarked("Option2"));
  EXPECT_EQ(rig.form.state.portSettings, "19200,N,8,1");
  EXPECT_EQ(rig.surface.caption("Command33"), kPortClosed);

  // Hidden five seconds after "COM", not after the choice.
  rig.clock.advanceTo(kFrameHideMs - 1);
  EXPECT_TRUE(rig.surface.isVisible("Frame8"));
  rig.clock.advanceTo(kFrameHideMs);
  EXPECT_FALSE(rig.surface.isVisible("Frame8"));

  // From the closed port a choice only sets the number.
  rig.form.Command33_Click();
  rig.port.calls.clear();
  ChoosePort(rig, 1);
  EXPECT_FALSE(rig.port.isOpen());
  EXPECT_EQ(rig.port.portNumber(), 1);
  EXPECT_FALSE(rig.surface.isVisible("Frame8"));
  EXPECT_EQ(rig.surface.warnings.size(), 1u);
  ChoosePort(rig, 2);
  EXPECT_FALSE(rig.port.isOpen());
  EXPECT_EQ(rig.port.portNumber(), 2);
  EXPECT_EQ(rig.surface.warnings.size(), 1u);
  for (const std::string& call : rig.port.calls) EXPECT_NE(call.rfind("open", 0), 0u) << call;

  rig.form.Click("Command17");
  EXPECT_TRUE(rig.port.writes.empty());
  EXPECT_EQ(rig.surface.caption("Label11"), "NOT SENT: C 0 0 CR ");
}

TEST(SpeedChoice, ChangesTheOpenPortWithoutReopeningAndStaysForLaterChoices) {
  Rig rig;
  rig.form.Command33_Click();
  rig.port.calls.clear();
  rig.surface.mark("Option10");
  rig.form.Option10_Click();
  EXPECT_EQ(rig.port.calls, (Calls{"settings 9600,N,8,1"}));
  EXPECT_TRUE(rig.port.isOpen());
  EXPECT_EQ(rig.form.state.portSettings, "9600,N,8,1");
  EXPECT_FALSE(rig.surface.isVisible("Frame8"));
  EXPECT_TRUE(rig.timer3.isEnabled());

  rig.port.calls.clear();
  ChoosePort(rig, 2);
  EXPECT_EQ(rig.port.calls, (Calls{"close 1", "open 2"}));
  EXPECT_EQ(rig.port.settings(), "9600,N,8,1");
  EXPECT_TRUE(rig.surface.isMarked("Option10"));

  rig.surface.mark("Option9");
  rig.form.Option9_Click();
  EXPECT_EQ(rig.port.settings(), "19200,N,8,1");
  EXPECT_EQ(rig.form.state.portSettings, "19200,N,8,1");
  EXPECT_TRUE(rig.port.isOpen());
  EXPECT_EQ(rig.port.portNumber(), 2);
}

TEST(SelectionFrame, HidesFiveSecondsAfterComWhenNothingIsChosen) {
  Rig rig;
  rig.clock.advanceTo(250);
  rig.form.Command33_Click();
  rig.clock.advanceTo(250 + kFrameHideMs - 1);
  EXPECT_TRUE(rig.surface.isVisible("Frame8"));
  EXPECT_TRUE(rig.timer3.isEnabled());
  rig.clock.advanceTo(250 + kFrameHideMs);
  EXPECT_FALSE(rig.surface.isVisible("Frame8"));
  EXPECT_FALSE(rig.timer3.isEnabled());
  EXPECT_EQ(rig.timer3.ticks(), 1);
  EXPECT_TRUE(rig.port.writes.empty());
}

TEST(SelectionFrame, ComAgainStartsTheFiveSecondsOver) {
  Rig rig;
  rig.form.Command33_Click();
  rig.clock.advanceTo(3000);
  rig.form.Command33_Click();
  rig.clock.advanceTo(3000 + kFrameHideMs - 1);
  EXPECT_TRUE(rig.surface.isVisible("Frame8"));
  rig.clock.advanceTo(3000 + kFrameHideMs);
  EXPECT_FALSE(rig.surface.isVisible("Frame8"));
  EXPECT_EQ(rig.timer3.ticks(), 1);
}

TEST(End, ClosesThePortBeforeTheWindowGoes) {
  Rig rig;
  bool openAtQuit = true;
  rig.surface.onQuit = [&] { openAtQuit = rig.port.isOpen(); };
  rig.port.calls.clear();
  rig.form.Click("Command16");
  EXPECT_TRUE(rig.surface.quitted);
  EXPECT_FALSE(openAtQuit);
  EXPECT_EQ(rig.port.calls, (Calls{"close 1"}));
  EXPECT_TRUE(rig.port.writes.empty());
}

}  // namespace
}  // namespace mero::test

namespace mero::test {
namespace {

// ---- The watch for a device that is away ----

TEST(PortWatch, ALostPortIsWatchedAndOpensWithOneNoticeEachWay) {
  Rig rig;
  rig.port.vanish("COM1 was disconnected");
  EXPECT_TRUE(rig.port.isWatching());
  rig.port.comeBack();
  EXPECT_TRUE(rig.port.isOpen());
  EXPECT_EQ(rig.surface.notices, (Calls{"COM1 was disconnected", "COM1 is back"}));
  // Losing the port is a fault to see to; its return needs nothing done.
  EXPECT_EQ(rig.surface.noticeKinds,
            (std::vector<panel::Notice>{panel::Notice::Warning, panel::Notice::Information}));
  EXPECT_EQ(rig.surface.caption("Command33"), kPortOpen);
  EXPECT_TRUE(rig.surface.warnings.empty());
  // Opened by the watch, the port is no longer waiting for a choice to reopen it.
  rig.form.Command33_Click();
  ChoosePort(rig, 1);
  EXPECT_EQ(rig.port.calls.back(), "open 1");
  EXPECT_TRUE(rig.port.isOpen());
}

TEST(PortWatch, AnAbsentChoiceIsWatchedAsTheChosenPortAndTheChoiceWinsOverTheWatch) {
  Rig rig;
  rig.port.present = {1};
  rig.form.Command33_Click();
  ChoosePort(rig, 2);
  ASSERT_EQ(rig.surface.warnings.size(), 1u);
  EXPECT_EQ(rig.port.portNumber(), 1);          // falls back as documented ...
  EXPECT_EQ(rig.port.calls.back(), "watch 2");  // ... and waits for COM2 to appear
  rig.port.comeBack();
  EXPECT_TRUE(rig.port.isOpen());
  EXPECT_EQ(rig.port.portNumber(), 2);

  rig.port.vanish("COM2 was disconnected");
  ASSERT_TRUE(rig.port.isWatching());
  rig.form.Command33_Click();
  ChoosePort(rig, 1);  // the operator's choice ends the watch
  EXPECT_FALSE(rig.port.isWatching());
  EXPECT_TRUE(rig.port.isOpen());
  EXPECT_EQ(rig.port.portNumber(), 1);
}

TEST(PortWatch, AbsentAtStartIsWatchedRefusedIsNot) {
  Rig absent(false);
  absent.port.present = {2};
  absent.form.Form_Load();
  EXPECT_TRUE(absent.port.isWatching());

  Rig refused(false);
  refused.port.refused = {1};
  refused.form.Form_Load();
  EXPECT_EQ(refused.surface.notices.size(), 1u);
  EXPECT_FALSE(refused.port.isWatching());
}

// The first open at start succeeds and the second, made by marking "COM1", fails: the port
// is closed on number 2 with "COM1" marked, and a later choice must still open it.
TEST(StartUp, AFailedReopenAtStartIsRecoveredByTheNextChoice) {
  Rig rig(false);
  rig.port.afterOpen = [&] {
    rig.port.present = {};
    rig.port.afterOpen = nullptr;
  };
  rig.form.Form_Load();
  ASSERT_EQ(rig.surface.warnings.size(), 1u);
  EXPECT_FALSE(rig.port.isOpen());
  EXPECT_EQ(rig.port.portNumber(), 2);
  EXPECT_TRUE(rig.surface.isMarked("Option1"));

  rig.port.present = {1, 2};
  rig.form.Command33_Click();
  ChoosePort(rig, 1);
  EXPECT_TRUE(rig.port.isOpen());
  EXPECT_EQ(rig.port.portNumber(), 1);
  EXPECT_EQ(rig.surface.caption("Command33"), kPortOpen);
}

}  // namespace
}  // namespace mero::test
