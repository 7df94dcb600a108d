// The keys that repeat while held, the repeat timer and the cursor-key timings.

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "panel/bindings.h"
#include "panel/controls.h"
#include "rig.h"

namespace mero::test {
namespace {

struct HoldKey {
  const char* control;
  const char* caption;
  const char* code;
  std::uint8_t repeatCode;
  std::optional<int> period;  // none for the cursor keys
  int reply;
  int monitor;
  bool zoom;
};

// clang-format off
const std::vector<HoldKey> kHoldKeys = {
    {"Command1",  "+",      "C09", 1,  250, 200, 245, false},
    {"Command2",  "-",      "C0A", 2,  250, 200, 245, false},
    {"Command15", "+",      "C20", 7,  50,  25,  25,  false},
    {"Command35", "-",      "C21", 8,  50,  25,  25,  false},
    {"Command48", "+",      "C30", 17, 250, 200, 245, true},
    {"Command49", "-",      "C31", 18, 250, 200, 245, true},
    {"Command50", "+",      "C8E", 19, 250, 200, 245, false},
    {"Command51", "-",      "C8F", 20, 250, 200, 245, false},
    {"Command6",  "SELECT", "C3F", 13, 500, 200, 245, false},
    {"Command5",  "↑",      "C3C", 3,  std::nullopt, 0, 0, false},
    {"Command7",  "↓",      "C3D", 4,  std::nullopt, 0, 0, false},
    {"Command9",  "←",      "C3B", 5,  std::nullopt, 0, 0, false},
    {"Command8",  "→",      "C3A", 6,  std::nullopt, 0, 0, false},
};
// clang-format on

const std::vector<const char*> kCursorKeys = {"Command5", "Command7", "Command9", "Command8"};

std::string Command(const char* code) { return std::string(code) + "\r"; }

std::vector<VirtualClock::Ms> WriteTimes(const FakePort& port) {
  std::vector<VirtualClock::Ms> out;
  for (const FakePort::Write& w : port.writes) out.push_back(w.at);
  return out;
}

TEST(HoldKeys, BindingTableHoldsExactlyTheseKeys) {
  EXPECT_EQ(panel::RepeatBindings().size(), kHoldKeys.size());
  for (const HoldKey& key : kHoldKeys) {
    const panel::RepeatBinding* binding = panel::FindRepeat(key.control);
    ASSERT_NE(binding, nullptr) << key.control;
    EXPECT_EQ(binding->code, key.code) << key.control;
    EXPECT_EQ(binding->repeatCode, key.repeatCode) << key.control;
    EXPECT_EQ(binding->period, key.period) << key.control;
    if (key.period) {
      EXPECT_EQ(binding->reply, key.reply) << key.control;
      EXPECT_EQ(binding->monitor, key.monitor) << key.control;
    }
    EXPECT_EQ(binding->setsZoomMode, key.zoom) << key.control;
    // The tick sends what the press sent.
    EXPECT_EQ(panel::RepeatCommandOf(key.repeatCode), key.code) << key.control;
    const panel::ControlRow* row = panel::FindControl(key.control);
    ASSERT_NE(row, nullptr) << key.control;
    EXPECT_EQ(row->kind, panel::Kind::Button) << key.control;
    EXPECT_EQ(row->caption, key.caption) << key.control;
  }
  for (int unassigned : {0, 9, 10, 11, 12, 14, 15, 16, 21, 255}) {
    EXPECT_TRUE(panel::RepeatCommandOf(static_cast<std::uint8_t>(unassigned)).empty())
        << unassigned;
  }
}

// Each key with its own timings, held for two and a half periods from the idle state.
TEST(HoldKeys, PeriodicKeysSendAtPressAndOncePerPeriodUntilRelease) {
  for (const HoldKey& key : kHoldKeys) {
    if (!key.period) continue;
    const int period = *key.period;
    Rig rig;
    rig.clock.advanceTo(1000);
    rig.form.MouseDown(key.control);
    EXPECT_EQ(rig.form.state.repeatCode, key.repeatCode) << key.control;
    EXPECT_EQ(rig.timer1.interval(), period) << key.control;
    EXPECT_EQ(rig.timer2.interval(), key.reply) << key.control;
    EXPECT_EQ(rig.timer4.interval(), key.monitor) << key.control;
    EXPECT_TRUE(rig.timer1.isEnabled()) << key.control;

    rig.clock.advance(2 * period + period / 2);
    EXPECT_EQ(WriteTimes(rig.port),
              (std::vector<VirtualClock::Ms>{1000, 1000 + period, 1000 + 2 * period}))
        << key.control;
    EXPECT_EQ(rig.takeSent(), std::vector<link::Bytes>(3, Command(key.code))) << key.control;

    rig.form.MouseUp(key.control);
    rig.clock.advance(VirtualClock::Ms{10} * period);
    EXPECT_TRUE(rig.port.writes.empty()) << key.control;
    EXPECT_EQ(rig.form.state.repeatCode, 0) << key.control;
    EXPECT_EQ(rig.timer2.interval(), 500) << key.control;
    EXPECT_EQ(rig.timer4.interval(), 1000) << key.control;
    EXPECT_EQ(rig.timer1.interval(), key.zoom ? 5 : period) << key.control;
    EXPECT_EQ(rig.form.state.cursorMode, key.zoom ? 3 : 0) << key.control;
  }
}

TEST(HoldKeys, VolumeHeldSixHundredMilliseconds) {
  Rig rig;
  rig.form.MouseDown("Command1");
  EXPECT_EQ(rig.surface.caption("Label11"), " C 0 9 CR ");
  EXPECT_EQ(rig.timer2.interval(), 200);
  EXPECT_EQ(rig.timer4.interval(), 245);
  rig.clock.advanceTo(550);
  rig.port.feed("1");
  rig.clock.advanceTo(600);
  EXPECT_EQ(WriteTimes(rig.port), (std::vector<VirtualClock::Ms>{0, 250, 500}));
  EXPECT_EQ(rig.takeSent(), std::vector<link::Bytes>(3, "C09\r"));
  EXPECT_EQ(rig.surface.caption("Label11"), " C 0 9 CR ");
  EXPECT_EQ(rig.surface.caption("Label12"), " 1 ");

  rig.form.MouseUp("Command1");
  EXPECT_EQ(rig.surface.caption("Label11"), "");
  EXPECT_EQ(rig.surface.caption("Label12"), "");
  EXPECT_EQ(rig.form.state.rxBuffer, "");
  EXPECT_EQ(rig.timer2.interval(), 500);
  EXPECT_EQ(rig.timer4.interval(), 1000);
  EXPECT_FALSE(rig.timer1.isEnabled());
  EXPECT_FALSE(rig.timer2.isEnabled());
  EXPECT_TRUE(rig.timer4.isEnabled());

  // Timer4 runs on with its new interval and wipes the lines once more.
  rig.surface.setCaption("Label22", "status");
  rig.clock.advanceTo(600 + 999);
  EXPECT_EQ(rig.surface.caption("Label22"), "status");
  rig.clock.advanceTo(600 + 1000);
  EXPECT_EQ(rig.surface.caption("Label22"), "");
  EXPECT_FALSE(rig.timer4.isEnabled());
  EXPECT_TRUE(rig.port.writes.empty());
}

TEST(HoldKeys, ClickShorterThanThePeriodSendsOnce) {
  Rig rig;
  rig.form.MouseDown("Command6");
  rig.clock.advanceTo(499);
  ASSERT_FALSE(rig.timer4.isEnabled());  // it wiped the lines at 245
  rig.form.MouseUp("Command6");
  // The release starts the monitor timer again, which wipes the status line later.
  EXPECT_TRUE(rig.timer4.isEnabled());
  rig.surface.setCaption("Label22", "status");
  rig.clock.advanceTo(499 + 1000);
  EXPECT_EQ(rig.surface.caption("Label22"), "");
  rig.clock.advance(5000);
  EXPECT_EQ(rig.takeSent(), (std::vector<link::Bytes>{"C3F\r"}));
}

TEST(HoldKeys, TickWithNoRepeatCodeSendsNothing) {
  Rig rig;
  rig.form.Timer1_Timer();
  EXPECT_TRUE(rig.port.writes.empty());

  // Even with the timer running, a cleared repeat code stops the sending.
  rig.form.MouseDown("Command1");
  rig.takeSent();
  rig.form.state.repeatCode = 0;
  rig.clock.advance(1000);
  EXPECT_TRUE(rig.port.writes.empty());
}

TEST(HoldKeys, TickRebuildsTheCommandFromTheRepeatCode) {
  Rig rig;
  rig.form.MouseDown("Command2");
  rig.clock.advanceTo(100);
  rig.form.Click("Command17");
  rig.form.state.lastCommand = "garbage";
  rig.clock.advanceTo(250);
  EXPECT_EQ(rig.takeSent(), (std::vector<link::Bytes>{"C0A\r", "C00\r", "C0A\r"}));
  EXPECT_EQ(rig.form.state.lastCommand, "C0A\r");
}

// One repeat at a time: a second press takes over, any release stops it.
TEST(HoldKeys, PressDuringARepeatReplacesItAndAnyReleaseStopsIt) {
  Rig rig;
  rig.form.MouseDown("Command1");
  rig.clock.advanceTo(100);
  rig.form.MouseDown("Command35");
  rig.clock.advanceTo(220);
  EXPECT_EQ(WriteTimes(rig.port), (std::vector<VirtualClock::Ms>{0, 100, 150, 200}));
  EXPECT_EQ(rig.takeSent(), (std::vector<link::Bytes>{"C09\r", "C21\r", "C21\r", "C21\r"}));
  EXPECT_EQ(rig.form.state.repeatCode, 8);

  rig.form.MouseUp("Command1");
  rig.clock.advance(1000);
  EXPECT_TRUE(rig.port.writes.empty());
  EXPECT_EQ(rig.form.state.repeatCode, 0);
}

TEST(HoldKeys, HoldKeysHaveNoClickAndOneShotKeysNoPress) {
  Rig rig;
  for (const HoldKey& key : kHoldKeys) rig.form.Click(key.control);
  rig.form.MouseDown("Command17");
  rig.form.MouseDown("Command13");
  rig.clock.advance(1000);
  EXPECT_TRUE(rig.port.writes.empty());
  EXPECT_EQ(rig.form.state.repeatCode, 0);
}

TEST(HoldKeys, AImageAndMenuOnSetTheCursorModeWithoutEnablingTheRepeat) {
  for (const auto& [control, code] :
       {std::pair{"Command13", "C89\r"}, std::pair{"Command23", "C1C\r"}}) {
    Rig rig;
    rig.form.MouseDown("Command48");
    rig.form.MouseUp("Command48");
    rig.clock.advance(5000);
    rig.takeSent();
    rig.timer2.setInterval(123);
    rig.timer4.setInterval(456);

    rig.form.Click(control);
    EXPECT_EQ(rig.takeSent(), (std::vector<link::Bytes>{code})) << control;
    EXPECT_EQ(rig.timer1.interval(), 200) << control;
    EXPECT_FALSE(rig.timer1.isEnabled()) << control;
    EXPECT_EQ(rig.form.state.cursorMode, 1) << control;
    EXPECT_EQ(rig.timer2.interval(), 123) << control;
    EXPECT_EQ(rig.timer4.interval(), 456) << control;
  }
}

// The cursor keys repeat at the period set last and take their monitor timings from the
// cursor mode.
TEST(HoldKeys, CursorKeyTimingsFollowWhatCameBefore) {
  using Setup = std::function<void(Rig&)>;
  const auto hold = [](const char* control) {
    return [control](Rig& rig) {
      rig.form.MouseDown(control);
      rig.form.MouseUp(control);
    };
  };
  const auto click = [](const char* control) {
    return [control](Rig& rig) { rig.form.Click(control); };
  };
  const auto both = [](const Setup& first, const Setup& second) {
    return [first, second](Rig& rig) {
      first(rig);
      second(rig);
    };
  };
  const struct {
    const char* name;
    Setup setup;
    VirtualClock::Ms period;
    int reply;
    int monitor;
  } cases[] = {
      {"nothing since start", [](Rig&) {}, 200, 500, 1000},
      {"MENU OFF only", click("Command24"), 200, 500, 1000},
      {"D.Zoom + released", hold("Command48"), 5, 5, 5},
      {"D.Zoom - released", hold("Command49"), 5, 5, 5},
      {"A-IMAGE", click("Command13"), 200, 150, 190},
      {"MENU ON", click("Command23"), 200, 150, 190},
      {"D.Zoom then A-IMAGE", both(hold("Command48"), click("Command13")), 200, 150, 190},
      {"D.Zoom then MENU ON", both(hold("Command49"), click("Command23")), 200, 150, 190},
      {"D.Zoom then VOL", both(hold("Command48"), hold("Command1")), 250, 5, 5},
      {"D.Zoom then MENU OFF", both(hold("Command48"), click("Command24")), 5, 5, 5},
      {"Brightness", hold("Command15"), 50, 500, 1000},
      {"Keystone", hold("Command51"), 250, 500, 1000},
      {"SELECT", hold("Command6"), 500, 500, 1000},
      {"A-IMAGE then SELECT", both(click("Command13"), hold("Command6")), 500, 150, 190},
  };
  for (const auto& c : cases) {
    for (const char* cursor : kCursorKeys) {
      Rig rig;
      c.setup(rig);
      rig.clock.advance(10'000);
      rig.takeSent();
      const VirtualClock::Ms start = rig.clock.now();
      const int period1 = rig.timer1.interval();

      rig.form.MouseDown(cursor);
      EXPECT_EQ(rig.timer2.interval(), c.reply) << c.name << " " << cursor;
      EXPECT_EQ(rig.timer4.interval(), c.monitor) << c.name << " " << cursor;
      EXPECT_EQ(rig.timer1.interval(), period1) << c.name << " " << cursor;
      EXPECT_EQ(rig.form.state.repeatCode, panel::FindRepeat(cursor)->repeatCode);
      rig.clock.advance(2 * c.period + c.period / 2);
      EXPECT_EQ(WriteTimes(rig.port),
                (std::vector<VirtualClock::Ms>{start, start + c.period, start + 2 * c.period}))
          << c.name << " " << cursor;
      const std::string code(panel::FindRepeat(cursor)->code);
      EXPECT_EQ(rig.takeSent(), std::vector<link::Bytes>(3, code + "\r"))
          << c.name << " " << cursor;
      rig.form.MouseUp(cursor);
    }
  }
}

// An hour at the fastest period leaves the form's own state as small as after one send.
TEST(HoldKeys, LongRepeatKeepsTheFormStateSmall) {
  constexpr int kMinutes = 60;
  constexpr VirtualClock::Ms kMinute = 60'000;
  constexpr std::size_t kSmall = 64;
  Rig rig;
  rig.form.MouseDown("Command48");
  rig.form.MouseUp("Command48");
  rig.clock.advance(2000);
  rig.takeSent();
  rig.form.MouseDown("Command8");
  std::size_t sends = 0;
  for (int minute = 0; minute < kMinutes; ++minute) {
    rig.port.feed("0");
    rig.clock.advance(kMinute);
    sends += rig.takeSent().size();
    ASSERT_LE(rig.form.state.rxBuffer.size(), kSmall) << "minute " << minute;
    ASSERT_LE(rig.form.state.lastCommand.size(), kSmall) << "minute " << minute;
    ASSERT_LE(rig.surface.caption("Label11").size(), kSmall) << "minute " << minute;
    ASSERT_LE(rig.surface.caption("Label12").size(), kSmall) << "minute " << minute;
  }
  EXPECT_EQ(sends, static_cast<std::size_t>(kMinutes * kMinute / 5) + 1);
  EXPECT_EQ(rig.form.state.lastCommand, "C3A\r");
  rig.form.MouseUp("Command8");
  rig.clock.advance(kMinute);
  EXPECT_TRUE(rig.port.writes.empty());
}

}  // namespace
}  // namespace mero::test
