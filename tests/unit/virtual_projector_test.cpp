#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "link/protocol/monitor_text.h"
#include "panel/bindings.h"
#include "projector/projector.h"

namespace mero::vp {
namespace {

using namespace std::chrono_literals;

const std::string kAckReply = {kAck, kCr};
const std::string kNakReply = {kNak, kCr};

constexpr Ms kWarmUp = 1000;
constexpr Ms kCoolDown = 2000;

ProjectorSettings Quick() {
  ProjectorSettings settings;
  settings.warmUpMs = kWarmUp;
  settings.coolDownMs = kCoolDown;
  return settings;
}

// A projector brought into `state` at time kSettled.
constexpr Ms kSettled = 10'000;
Projector InState(PowerState state, ProjectorSettings settings = Quick()) {
  Projector projector(std::move(settings));
  switch (state) {
    case PowerState::StandBy:
      break;
    case PowerState::CountDown:
      projector.Handle("C00", kSettled);
      break;
    case PowerState::On:
      projector.Handle("C00", kSettled - kWarmUp);
      break;
    case PowerState::CoolingDown:
      projector.Handle("C00", 0);
      projector.Handle("C01", kSettled);
      break;
  }
  EXPECT_EQ(projector.Power(kSettled), state);
  return projector;
}

constexpr PowerState kStates[] = {PowerState::StandBy, PowerState::CountDown, PowerState::On,
                                  PowerState::CoolingDown};

TEST(Projector, StatusQueriesInEachPowerState) {
  struct Row {
    std::string_view query;
    std::string replies[4];  // stand-by, count down, on, cooling down; CR added below
  };
  const Row rows[] = {
      {"CR0", {"80", "40", "00", "20"}},
      {"CR1", {"1", "1", "1", "1"}},
      {"CR3", {"01234", "01234", "01234", "01234"}},
      {"CR4", {"11", "11", "11", "11"}},
      {"CR6", {"+25.5  30.1 +28.0", "+25.5  30.1 +28.0", "+25.5  30.1 +28.0", "+25.5  30.1 +28.0"}},
      {"CR7", {"00", "03", "03", "00"}},
      {"CR9", {"QM50 VIRTUAL 1.40", "QM50 VIRTUAL 1.40", "QM50 VIRTUAL 1.40", "QM50 VIRTUAL 1.40"}},
      {"CRA", {"FF", "00", "00", "00"}},
      {"CR PRESSURE", {"512", "512", "512", "512"}},
  };
  ProjectorSettings settings = Quick();
  settings.lampHours = 1234;
  for (int s = 0; s < 4; ++s) {
    Projector projector = InState(kStates[s], settings);
    for (const Row& row : rows) {
      EXPECT_EQ(projector.Handle(row.query, kSettled), row.replies[s] + kCr)
          << row.query << " in state " << s;
    }
  }
}

TEST(Projector, PowerCycleFollowsTheClock) {
  struct Step {
    Ms at;
    std::string_view command;
    std::string reply;
  };
  const Step steps[] = {
      {0, "CR0", "80\r"},     {0, "C00", kAckReply},    {0, "CR0", "40\r"},
      {999, "CR0", "40\r"},   {1000, "CR0", "00\r"},    {1500, "C00", kAckReply},
      {1500, "CR0", "00\r"},  {5000, "C01", kAckReply}, {5000, "CR0", "20\r"},
      {6999, "CR0", "20\r"},  {7000, "CR0", "80\r"},    {7000, "C01", kAckReply},
      {7000, "CR0", "80\r"},  {8000, "C00", kAckReply}, {8500, "C01", kAckReply},
      {8500, "CR0", "20\r"},  {9000, "C00", kAckReply}, {9000, "CR0", "20\r"},
      {10500, "CR0", "80\r"}, {100, "CR0", "80\r"},  // an earlier time counts as the latest
  };
  Projector projector(Quick());
  for (const Step& step : steps) {
    EXPECT_EQ(projector.Handle(step.command, step.at), step.reply)
        << step.command << " at " << step.at;
  }
}

TEST(Projector, ZeroWarmUpIsOnAtOnce) {
  ProjectorSettings settings;
  settings.warmUpMs = 0;
  settings.coolDownMs = 0;
  Projector projector(settings);
  projector.Handle("C00", 5);
  EXPECT_EQ(projector.Handle("CR0", 5), "00\r");
  projector.Handle("C01", 6);
  EXPECT_EQ(projector.Handle("CR0", 6), "80\r");
}

TEST(Projector, LampHoursGrowOnlyWhileOn) {
  ProjectorSettings settings = Quick();
  settings.lampHours = 10;
  settings.lampHourMs = 1000;
  Projector projector(settings);
  EXPECT_EQ(projector.LampHours(50'000), 10);  // stand-by
  projector.Handle("C00", 50'000);
  EXPECT_EQ(projector.LampHours(50'999), 10);  // count down
  EXPECT_EQ(projector.LampHours(51'999), 10);  // on for 999 ms
  EXPECT_EQ(projector.Handle("CR3", 53'000), "00012\r");
  projector.Handle("C01", 53'500);
  EXPECT_EQ(projector.LampHours(90'000), 12);  // cooling down, then stand-by
  projector.Handle("C00", 90'000);
  EXPECT_EQ(projector.Handle("CR3", 91'500), "00013\r");  // 3 s on in all
}

TEST(Projector, LampHoursStopAtFiveDigits) {
  ProjectorSettings settings = Quick();
  settings.lampHours = 99'998;
  settings.lampHourMs = 1;
  Projector projector(settings);
  projector.Handle("C00", 0);
  EXPECT_EQ(projector.Handle("CR3", kWarmUp + 10), "99999\r");
}

TEST(Projector, InputAndMuteFollowTheirKeys) {
  struct Step {
    std::string_view command;
    std::string_view query;
    std::string reply;
  };
  const Step steps[] = {
      {"C06", "CR1", "2\r"},  {"C07", "CR1", "3\r"},  {"C05", "CR1", "1\r"},
      {"C0B", "CRA", "02\r"}, {"C0D", "CRA", "03\r"}, {"C0C", "CRA", "01\r"},
      {"C0E", "CRA", "00\r"}, {"C0D", "CRA", "01\r"},
  };
  Projector projector = InState(PowerState::On);
  for (const Step& step : steps) {
    EXPECT_EQ(projector.Handle(step.command, kSettled), kAckReply) << step.command;
    EXPECT_EQ(projector.Handle(step.query, kSettled), step.reply) << "after " << step.command;
  }
  projector.Settings().signalPresent = false;
  EXPECT_EQ(projector.Handle("CRA", kSettled), "80\r");
  projector.Handle("C01", kSettled);
  EXPECT_EQ(projector.Handle("CRA", kSettled + kCoolDown), "FF\r");
}

TEST(Projector, ReversalAndLampModeReplies) {
  struct Reversal {
    bool topBottom, leftRight;
    std::string reply;
  };
  for (const Reversal& r : {Reversal{false, false, "11\r"}, Reversal{true, false, "10\r"},
                            Reversal{false, true, "01\r"}, Reversal{true, true, "00\r"}}) {
    ProjectorSettings settings;
    settings.flipTopBottom = r.topBottom;
    settings.flipLeftRight = r.leftRight;
    EXPECT_EQ(Projector(settings).Handle("CR4", 0), r.reply) << r.topBottom << r.leftRight;
  }
  struct Lamp {
    LampMode mode;
    std::string off, lit;
  };
  for (const Lamp& l :
       {Lamp{LampMode::TwoLamps, "00\r", "03\r"}, Lamp{LampMode::OnlyLamp1, "10\r", "11\r"},
        Lamp{LampMode::OnlyLamp2, "20\r", "22\r"}}) {
    ProjectorSettings settings = Quick();
    settings.lampMode = l.mode;
    EXPECT_EQ(InState(PowerState::StandBy, settings).Handle("CR7", kSettled), l.off);
    EXPECT_EQ(InState(PowerState::On, settings).Handle("CR7", kSettled), l.lit);
  }
}

// The panel reads the three temperatures at fixed places of the monitor text of the reply.
TEST(Projector, TemperaturesLandWhereThePanelReadsThem) {
  struct Row {
    double t1, t2, t3;
    std::string p1, p2, p3;
  };
  const Row rows[] = {
      {25.5, 30.1, 28.0, " + 2 5 . 5", " 3 0 . 1", " + 2 8 . 0"},
      {-5.0, 7.0, 0.0, " - 0 5 . 0", " 0 7 . 0", " + 0 0 . 0"},
      {150.0, 150.0, -150.0, " + 9 9 . 9", " 9 9 . 9", " - 9 9 . 9"},
      {20.0, -3.0, 20.0, " + 2 0 . 0", " 0 0 . 0", " + 2 0 . 0"},
  };
  for (const Row& row : rows) {
    ProjectorSettings settings;
    settings.temperature1 = row.t1;
    settings.temperature2 = row.t2;
    settings.temperature3 = row.t3;
    const std::string reply = Projector(settings).Handle("CR6", 0);
    ASSERT_EQ(reply.size(), 18u) << reply;
    const std::string shown = link::MonitorText(reply);
    EXPECT_EQ(shown.substr(0, 10), row.p1) << reply;
    EXPECT_EQ(shown.substr(14, 8), row.p2) << reply;
    EXPECT_EQ(shown.substr(24, 10), row.p3) << reply;
  }
}

TEST(Projector, EveryKeyOfThePanelGetsAnAck) {
  std::vector<std::string_view> codes = {"C89", "C1C"};  // A-IMAGE and MENU "ON"
  for (const auto& key : panel::OneShotBindings()) {
    const link::OneShotCommand* command = panel::FindOneShot(key.control);
    ASSERT_NE(command, nullptr) << key.control;
    if (!command->code.starts_with("CR")) codes.push_back(command->code);
  }
  for (const auto& key : panel::RepeatBindings()) codes.push_back(key.code);
  for (PowerState state : kStates) {
    Projector projector = InState(state);
    for (std::string_view code : codes) {
      EXPECT_EQ(projector.Handle(code, kSettled), kAckReply) << code;
    }
  }
}

TEST(Projector, UnknownTextGetsANakAndChangesNothing) {
  Projector projector = InState(PowerState::On);
  for (std::string_view text :
       {"", "C99", "C0", "c00", "cr0", "CR0 ", " CR0", "CR2", "CRB", "CR PRESSURE ", "CR pressure",
        "CF LOGO", "CF LOGO off", "CF  LOGO OFF", "C00\n", "C01x", "CF KEYDIS"}) {
    EXPECT_EQ(projector.Handle(text, kSettled), kNakReply) << '"' << text << '"';
  }
  EXPECT_EQ(projector.Handle("CR0", kSettled), "00\r");
}

}  // namespace
}  // namespace mero::vp
