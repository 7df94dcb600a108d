// The keys that send one fixed command per click.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/protocol/monitor_text.h"
#include "panel/bindings.h"
#include "panel/controls.h"
#include "rig.h"

namespace mero::test {
namespace {

using panel::Timing;

struct Key {
  const char* control;
  const char* caption;
  const char* code;
  Timing timing;
};

// clang-format off
const std::vector<Key> kKeys = {
    // POWER, INPUT MODE SET, SOUND MUTE, NO SHOW, AV Size, MENU, FREEZE
    {"Command17", "ON", "C00", Timing::Unchanged},
    {"Command18", "OFF", "C01", Timing::Unchanged},
    {"Command27", "PC1", "C05", Timing::Unchanged},
    {"Command28", "PC2", "C06", Timing::Unchanged},
    {"Command29", "Video", "C07", Timing::Unchanged},
    {"Command19", "ON", "C0B", Timing::Unchanged},
    {"Command20", "OFF", "C0C", Timing::Unchanged},
    {"Command21", "ON", "C0D", Timing::Unchanged},
    {"Command22", "OFF", "C0E", Timing::Unchanged},
    {"Command31", "Regular", "C0F", Timing::Unchanged},
    {"Command32", "Wide", "C10", Timing::Unchanged},
    {"Command24", "OFF", "C1D", Timing::Unchanged},
    {"Command25", "ON", "C43", Timing::Unchanged},
    {"Command26", "OFF", "C44", Timing::Unchanged},
    // right-hand column
    {"Command30", "IMAGE", "C27", Timing::Unchanged},
    {"Command14", "P-TIMER", "C8A", Timing::Unchanged},
    {"Command3", "DISPLAY CLEAR", "C1E", Timing::Unchanged},
    // image modes
    {"Command4", "STAND", "C11", Timing::Reply2000},
    {"Command10", "REAL", "C12", Timing::Reply2000},
    {"Command11", "CINEMA", "C13", Timing::Reply2000},
    {"Command39", "IMAGE1", "C14", Timing::Reply2000},
    {"Command40", "IMAGE2", "C15", Timing::Reply2000},
    {"Command41", "IMAGE3", "C16", Timing::Reply2000},
    {"Command42", "IMAGE4", "C17", Timing::Reply2000},
    {"Command12", "B.Board", "C18", Timing::Reply2000},
    {"Command36", "Dynamic", "C19", Timing::Reply2000},
    // key disable
    {"Command56", "NONE", "CF KEYDIS NONE", Timing::Unchanged},
    {"Command57", "R/C", "CF KEYDIS RC", Timing::Unchanged},
    {"Command58", "KEY", "CF KEYDIS KEY", Timing::Unchanged},
    // status queries
    {"Command44", "STATUS", "CR0", Timing::Unchanged},
    {"Command46", "L-TIME", "CR3", Timing::Unchanged},
    {"Command54", "TEMP", "CR6", Timing::Unchanged},
    {"Command45", "MODE", "CR1", Timing::Unchanged},
    {"Command47", "SETTING", "CR4", Timing::Unchanged},
    // input terminals
    {"Command64", "RGB", "C50", Timing::Reply5000},
    {"Command65", "DVI(PC Digital)", "C52", Timing::Reply5000},
    {"Command66", "DVI(AV HDCP)", "C53", Timing::Reply5000},
    {"Command72", "RGB", "C25", Timing::Reply5000},
    {"Command74", "Component", "C24", Timing::Reply5000},
    {"Command73", "Scart", "C26", Timing::Reply5000},
    {"Command53", "IN", "CF TERMINAL COMPUTER", Timing::Reply5000},
    {"Command76", "OUT", "CF TERMINAL MONITOR", Timing::Reply5000},
    {"Command81", "Auto", "C32", Timing::Reply5000},
    {"Command82", "Video", "C33", Timing::Reply5000},
    {"Command69", "S-Video", "C34", Timing::Reply5000},
    // logo, fan speed
    {"Command60", "Capture", "CF LOGOCAPTURE START", Timing::Unchanged},
    {"Command61", "OFF", "CF LOGO OFF", Timing::Unchanged},
    {"Command63", "DEF", "CF LOGO DEFAULT", Timing::Unchanged},
    {"Command67", "User", "CF LOGO USER", Timing::Unchanged},
    {"Command97", "MAX", "CF FANSPEED MAX", Timing::Unchanged},
    {"Command98", "NOR", "CF FANSPEED NOR", Timing::Unchanged},
};
// clang-format on

// Intervals no key sets, so that a key which leaves them shows.
constexpr int kSentinelReply = 123;
constexpr int kSentinelMonitor = 456;

struct Intervals {
  int reply;
  int monitor;
};

Intervals Expected(Timing timing) {
  switch (timing) {
    case Timing::Reply2000:
      return {2000, 2500};
    case Timing::Reply5000:
      return {5000, 5500};
    case Timing::Unchanged:
      break;
  }
  return {kSentinelReply, kSentinelMonitor};
}

TEST(OneShotKeys, BindingTableHoldsExactlyTheseKeys) {
  EXPECT_EQ(panel::OneShotBindings().size(), kKeys.size());
  for (const Key& key : kKeys) {
    const link::OneShotCommand* command = panel::FindOneShot(key.control);
    ASSERT_NE(command, nullptr) << key.control;
    EXPECT_EQ(command->code, key.code) << key.control;
    EXPECT_EQ(command->timing, key.timing) << key.control;
    const panel::ControlRow* row = panel::FindControl(key.control);
    ASSERT_NE(row, nullptr) << key.control;
    EXPECT_EQ(row->kind, panel::Kind::Button) << key.control;
    EXPECT_EQ(row->caption, key.caption) << key.control;
  }
}

TEST(OneShotKeys, EachClickSendsItsCodeOnceAndSetsItsTiming) {
  for (const Key& key : kKeys) {
    Rig rig;
    rig.timer2.setInterval(kSentinelReply);
    rig.timer4.setInterval(kSentinelMonitor);
    rig.form.state.rxBuffer = "kept";

    rig.form.Click(key.control);

    const std::string command = std::string(key.code) + "\r";
    EXPECT_EQ(rig.takeSent(), (std::vector<link::Bytes>{command})) << key.control;
    EXPECT_EQ(rig.form.state.lastCommand, command) << key.control;
    const Intervals expected = Expected(key.timing);
    EXPECT_EQ(rig.timer2.interval(), expected.reply) << key.control;
    EXPECT_EQ(rig.timer4.interval(), expected.monitor) << key.control;
    EXPECT_TRUE(rig.timer2.isEnabled()) << key.control;
    EXPECT_TRUE(rig.timer4.isEnabled()) << key.control;
    EXPECT_FALSE(rig.timer1.isEnabled()) << key.control;
    EXPECT_EQ(rig.form.state.replyPending, 1) << key.control;
    EXPECT_EQ(rig.form.state.repeatCode, 0) << key.control;
    EXPECT_EQ(rig.form.state.cursorMode, 0) << key.control;
    EXPECT_EQ(rig.form.state.rxBuffer, "kept") << key.control;
    EXPECT_EQ(rig.timer1.interval(), 200) << key.control;
  }
}

// Keys that share a caption send different codes; blanks inside a code go out as they are.
TEST(OneShotKeys, SharedCaptionsAndInnerBlanks) {
  const struct {
    const char* control;
    link::Bytes bytes;
  } cases[] = {
      {"Command64", "C50\r"},
      {"Command72", "C25\r"},
      {"Command29", "C07\r"},
      {"Command82", "C33\r"},
      {"Command56", "CF KEYDIS NONE\r"},
  };
  Rig rig;
  for (const auto& c : cases) {
    rig.form.Click(c.control);
    EXPECT_EQ(rig.takeSent(), (std::vector<link::Bytes>{c.bytes})) << c.control;
  }
  rig.form.Click("Command56");
  EXPECT_EQ(rig.takeSent().at(0).size(), 15u);
}

// A key that sets no intervals runs with those the previous key left.
TEST(OneShotKeys, AKeyThatSetsNoIntervalsRunsWithThoseLeftBefore) {
  struct Case {
    const char* first;
    const char* then;
    link::Bytes sent;
    int reply;
    int monitor;
  };
  const Case cases[] = {
      {"Command10", "Command17", "C00\r", 2000, 2500},  // "REAL", then POWER "ON"
      {"Command53", "Command44", "CR0\r", 5000, 5500},  // "IN", then "STATUS"
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.first);
    Rig rig;
    rig.form.Click(c.first);
    constexpr VirtualClock::Ms kLater = 10'000;
    rig.clock.advanceTo(kLater);
    rig.form.Click(c.then);
    EXPECT_EQ(rig.takeSent().back(), c.sent);
    EXPECT_EQ(rig.timer2.interval(), c.reply);
    EXPECT_EQ(rig.timer4.interval(), c.monitor);
    rig.clock.advanceTo(kLater + c.reply - 1);
    EXPECT_EQ(rig.surface.caption("Label12"), "");
    rig.clock.advanceTo(kLater + c.reply);
    EXPECT_EQ(rig.surface.caption("Label12"), " X X X X");
    rig.clock.advanceTo(kLater + c.monitor - 1);
    EXPECT_EQ(rig.surface.caption("Label11"), link::MonitorText(c.sent));
    rig.clock.advanceTo(kLater + c.monitor);
    EXPECT_EQ(rig.surface.caption("Label11"), "");
  }
}

TEST(OneShotKeys, QuickClicksSendBothInOrder) {
  Rig rig;
  rig.form.Click("Command44");
  rig.form.Click("Command46");
  EXPECT_EQ(rig.takeSent(), (std::vector<link::Bytes>{"CR0\r", "CR3\r"}));
  EXPECT_EQ(rig.form.state.lastCommand, "CR3\r");
  EXPECT_EQ(rig.surface.caption("Label11"), " C R 3 CR ");
}

TEST(OneShotKeys, ClicksOnUnboundControlsSendNothing) {
  Rig rig;
  for (const char* control : {"Label1", "Frame1", "Image1", "Command999", ""}) {
    rig.form.Click(control);
  }
  EXPECT_TRUE(rig.port.writes.empty());
  EXPECT_EQ(rig.form.state.lastCommand, "");
}

}  // namespace
}  // namespace mero::test
