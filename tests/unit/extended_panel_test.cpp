// Ctrl+K, the logo double-click and the data-display button.

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "rig.h"

namespace mero::test {
namespace {

using panel::kAltMask;
using panel::kCtrlMask;
using panel::kKeyK;
using panel::kShiftMask;

const std::string kClose = "CLOSE";
const std::string kShowData = "データを表示する";
const std::string kHideData = "データを表示しない";

struct PanelState {
  int height;
  int panelLevel;
  bool buttonShown;
  std::string caption;
  friend bool operator==(const PanelState&, const PanelState&) = default;
  friend std::ostream& operator<<(std::ostream& os, const PanelState& s) {
    return os << "{height " << s.height << ", level " << s.panelLevel << ", button "
              << (s.buttonShown ? "shown" : "hidden") << ", \"" << s.caption << "\"}";
  }
};

const PanelState kCompact{5350, 0, false, kShowData};
const PanelState kExtended{7200, 1, true, kClose};
const PanelState kFull{9100, 1, true, kClose};
const PanelState kCompactWithButton{5350, 0, true, kShowData};
const PanelState kData{6645, 0, true, kHideData};

PanelState Observe(const Rig& rig) {
  return {rig.surface.height, rig.form.state.panelLevel, rig.surface.isVisible("Command34"),
          rig.surface.caption("Command34")};
}

using Action = std::function<void(Rig&)>;
void CtrlK(Rig& rig) { rig.form.Form_KeyDown(kKeyK, kCtrlMask); }
void LogoDoubleClick(Rig& rig) { rig.form.DoubleClick("Image1"); }
void DataButton(Rig& rig) { rig.form.Click("Command34"); }

struct Named {
  const char* name;
  PanelState state;
  std::vector<Action> path;  // how to get there from start
};

const std::vector<Named> kStates = {
    {"Compact", kCompact, {}},
    {"Extended", kExtended, {CtrlK}},
    {"Full", kFull, {CtrlK, LogoDoubleClick}},
    {"Compact with button", kCompactWithButton, {CtrlK, DataButton}},
    {"Data", kData, {CtrlK, DataButton, DataButton}},
};

const Named& StateNamed(const std::string& name) {
  for (const Named& s : kStates) {
    if (name == s.name) return s;
  }
  throw std::invalid_argument(name);
}

TEST(ExtendedPanel, PathsReachTheirStates) {
  for (const Named& s : kStates) {
    Rig rig;
    for (const Action& step : s.path) step(rig);
    EXPECT_EQ(Observe(rig), s.state) << s.name;
  }
}

TEST(ExtendedPanel, TransitionTable) {
  const struct {
    const char* from;
    const char* event;
    Action action;
    PanelState to;
  } rows[] = {
      {"Compact", "Ctrl+K", CtrlK, kExtended},
      {"Extended", "Ctrl+K", CtrlK, kExtended},
      {"Full", "Ctrl+K", CtrlK, kExtended},
      {"Compact with button", "Ctrl+K", CtrlK, kExtended},
      {"Data", "Ctrl+K", CtrlK, kExtended},
      {"Compact", "double-click", LogoDoubleClick, kCompact},
      {"Extended", "double-click", LogoDoubleClick, kFull},
      {"Full", "double-click", LogoDoubleClick, kFull},
      {"Compact with button", "double-click", LogoDoubleClick, kCompactWithButton},
      {"Data", "double-click", LogoDoubleClick, kData},
      {"Extended", "Command34", DataButton, kCompactWithButton},
      {"Full", "Command34", DataButton, kCompactWithButton},
      {"Compact with button", "Command34", DataButton, kData},
      {"Data", "Command34", DataButton, kCompactWithButton},
      // Hidden, so the operator cannot reach it; the handler still goes by the height alone.
      {"Compact", "Command34", DataButton, {6645, 0, false, kHideData}},
  };
  for (const auto& row : rows) {
    Rig rig;
    for (const Action& step : StateNamed(row.from).path) step(rig);
    row.action(rig);
    EXPECT_EQ(Observe(rig), row.to) << row.from << " + " << row.event;
    EXPECT_TRUE(rig.port.writes.empty()) << row.from << " + " << row.event;
  }
}

// Started fully open, the window is centred as at any start and then as the double-click after
// Ctrl+K leaves it.
TEST(ExtendedPanel, StartedFullyOpen) {
  Rig usual;
  Rig rig(false);
  rig.form.Form_Load({.fullyOpen = true});
  EXPECT_EQ(Observe(rig), kFull);
  EXPECT_EQ(rig.surface.top, usual.surface.top);
  EXPECT_TRUE(rig.port.isOpen());
  EXPECT_TRUE(rig.port.writes.empty());
}

TEST(ExtendedPanel, OnlyCtrlKAloneOpensThePanel) {
  const struct {
    int key;
    int shift;
    bool opens;
  } cases[] = {
      {kKeyK, kCtrlMask, true},
      {kKeyK, kCtrlMask | 8, true},  // bits above the three modifiers are not looked at
      {kKeyK, 0, false},
      {kKeyK, kShiftMask, false},
      {kKeyK, kAltMask, false},
      {kKeyK, kCtrlMask | kShiftMask, false},
      {kKeyK, kCtrlMask | kAltMask, false},
      {kKeyK, kCtrlMask | kShiftMask | kAltMask, false},
      {'J', kCtrlMask, false},
      {'L', kCtrlMask, false},
      {'k', kCtrlMask, false},
  };
  for (const auto& c : cases) {
    Rig rig;
    rig.form.Form_KeyDown(c.key, c.shift);
    EXPECT_EQ(Observe(rig), c.opens ? kExtended : kCompact)
        << "key " << c.key << " shift " << c.shift;
  }
}

TEST(ExtendedPanel, DoubleClickAfterTheDataButtonWaitsForCtrlK) {
  Rig rig;
  CtrlK(rig);
  DataButton(rig);
  LogoDoubleClick(rig);
  EXPECT_EQ(Observe(rig), kCompactWithButton);
  CtrlK(rig);
  LogoDoubleClick(rig);
  EXPECT_EQ(Observe(rig), kFull);
}

// Where the operator has resized the window, the height read back decides.
TEST(ExtendedPanel, DataButtonThresholdIsSixThousand) {
  const struct {
    int height;
    int after;
    const std::string& caption;
  } cases[] = {
      {5999, 6645, kHideData},  {5350, 6645, kHideData}, {1000, 6645, kHideData},
      {6000, 5350, kShowData},  {6001, 5350, kShowData}, {6645, 5350, kShowData},
      {12000, 5350, kShowData},
  };
  for (const auto& c : cases) {
    Rig rig;
    CtrlK(rig);
    rig.surface.height = c.height;
    DataButton(rig);
    EXPECT_EQ(rig.surface.height, c.after) << c.height;
    EXPECT_EQ(rig.surface.caption("Command34"), c.caption) << c.height;
    EXPECT_EQ(rig.form.state.panelLevel, 0) << c.height;
  }
}

TEST(ExtendedPanel, DataButtonRestartsTheFrameTimer) {
  Rig rig;
  CtrlK(rig);
  rig.form.Command33_Click();
  rig.clock.advanceTo(3000);
  DataButton(rig);
  rig.clock.advanceTo(5000);
  EXPECT_TRUE(rig.surface.isVisible("Frame8"));
  rig.clock.advanceTo(3000 + 4999);
  EXPECT_TRUE(rig.surface.isVisible("Frame8"));
  rig.clock.advanceTo(3000 + 5000);
  EXPECT_FALSE(rig.surface.isVisible("Frame8"));
  EXPECT_FALSE(rig.timer3.isEnabled());
  EXPECT_EQ(rig.timer3.ticks(), 1);
}

TEST(ExtendedPanel, DataButtonRunsTheFrameTimerWhenTheFrameIsHidden) {
  Rig rig;
  CtrlK(rig);
  DataButton(rig);
  EXPECT_TRUE(rig.timer3.isEnabled());
  rig.clock.advanceTo(5000);
  EXPECT_FALSE(rig.timer3.isEnabled());
  EXPECT_FALSE(rig.surface.isVisible("Frame8"));
}

}  // namespace
}  // namespace mero::test
