#include "panel/bindings.h"

#include <algorithm>
#include <array>

namespace mero::panel {
namespace {

// clang-format off
constexpr std::array kOneShot = std::to_array<OneShotBinding>({
    {"Command17", "C00", Timing::Unchanged},
    {"Command18", "C01", Timing::Unchanged},
    {"Command27", "C05", Timing::Unchanged},
    {"Command28", "C06", Timing::Unchanged},
    {"Command29", "C07", Timing::Unchanged},
    {"Command19", "C0B", Timing::Unchanged},
    {"Command20", "C0C", Timing::Unchanged},
    {"Command21", "C0D", Timing::Unchanged},
    {"Command22", "C0E", Timing::Unchanged},
    {"Command31", "C0F", Timing::Unchanged},
    {"Command32", "C10", Timing::Unchanged},
    {"Command24", "C1D", Timing::Unchanged},
    {"Command25", "C43", Timing::Unchanged},
    {"Command26", "C44", Timing::Unchanged},
    {"Command30", "C27", Timing::Unchanged},
    {"Command14", "C8A", Timing::Unchanged},
    {"Command3", "C1E", Timing::Unchanged},
    {"Command4", "C11", Timing::Reply2000},
    {"Command10", "C12", Timing::Reply2000},
    {"Command11", "C13", Timing::Reply2000},
    {"Command39", "C14", Timing::Reply2000},
    {"Command40", "C15", Timing::Reply2000},
    {"Command41", "C16", Timing::Reply2000},
    {"Command42", "C17", Timing::Reply2000},
    {"Command12", "C18", Timing::Reply2000},
    {"Command36", "C19", Timing::Reply2000},
    {"Command56", "CF KEYDIS NONE", Timing::Unchanged},
    {"Command57", "CF KEYDIS RC", Timing::Unchanged},
    {"Command58", "CF KEYDIS KEY", Timing::Unchanged},
    {"Command44", "CR0", Timing::Unchanged},
    {"Command46", "CR3", Timing::Unchanged},
    {"Command54", "CR6", Timing::Unchanged},
    {"Command45", "CR1", Timing::Unchanged},
    {"Command47", "CR4", Timing::Unchanged},
    {"Command64", "C50", Timing::Reply5000},
    {"Command65", "C52", Timing::Reply5000},
    {"Command66", "C53", Timing::Reply5000},
    {"Command72", "C25", Timing::Reply5000},
    {"Command74", "C24", Timing::Reply5000},
    {"Command73", "C26", Timing::Reply5000},
    {"Command53", "CF TERMINAL COMPUTER", Timing::Reply5000},
    {"Command76", "CF TERMINAL MONITOR", Timing::Reply5000},
    {"Command81", "C32", Timing::Reply5000},
    {"Command82", "C33", Timing::Reply5000},
    {"Command69", "C34", Timing::Reply5000},
    {"Command60", "CF LOGOCAPTURE START", Timing::Unchanged},
    {"Command61", "CF LOGO OFF", Timing::Unchanged},
    {"Command63", "CF LOGO DEFAULT", Timing::Unchanged},
    {"Command67", "CF LOGO USER", Timing::Unchanged},
    {"Command97", "CF FANSPEED MAX", Timing::Unchanged},
    {"Command98", "CF FANSPEED NOR", Timing::Unchanged},
});

// control, code, repeat code, period (Timer1), reply (Timer2), monitor (Timer4), D.Zoom
constexpr std::array kRepeat = std::to_array<RepeatBinding>({
    {"Command1",  "C09", 1,  250, 200, 245, false},
    {"Command2",  "C0A", 2,  250, 200, 245, false},
    {"Command15", "C20", 7,  50,  25,  25,  false},
    {"Command35", "C21", 8,  50,  25,  25,  false},
    {"Command48", "C30", 17, 250, 200, 245, true},
    {"Command49", "C31", 18, 250, 200, 245, true},
    {"Command50", "C8E", 19, 250, 200, 245, false},
    {"Command51", "C8F", 20, 250, 200, 245, false},
    {"Command6",  "C3F", 13, 500, 200, 245, false},
    {"Command5",  "C3C", 3,  std::nullopt, 0, 0, false},
    {"Command7",  "C3D", 4,  std::nullopt, 0, 0, false},
    {"Command9",  "C3B", 5,  std::nullopt, 0, 0, false},
    {"Command8",  "C3A", 6,  std::nullopt, 0, 0, false},
});

constexpr std::array kRepeatCommands = std::to_array<RepeatCommand>({
    {1, "C09"}, {2, "C0A"}, {3, "C3C"}, {4, "C3D"}, {5, "C3B"}, {6, "C3A"}, {7, "C20"},
    {8, "C21"}, {13, "C3F"}, {17, "C30"}, {18, "C31"}, {19, "C8E"}, {20, "C8F"},
});

constexpr std::array kCursorTimings = std::to_array<CursorTiming>({
    {1, 150, 190},
    {3, 5, 5},
});
// clang-format on

}  // namespace

std::optional<TimerIntervals> IntervalsOf(Timing timing) {
  switch (timing) {
    case Timing::Reply2000:
      return TimerIntervals{2000, 2500};
    case Timing::Reply5000:
      return TimerIntervals{5000, 5500};
    case Timing::Unchanged:
      break;
  }
  return std::nullopt;
}

std::span<const OneShotBinding> OneShotBindings() { return kOneShot; }
std::span<const RepeatBinding> RepeatBindings() { return kRepeat; }
std::span<const RepeatCommand> RepeatCommands() { return kRepeatCommands; }
std::span<const CursorTiming> CursorTimings() { return kCursorTimings; }

const OneShotBinding* FindOneShot(std::string_view control) {
  auto it = std::ranges::find(kOneShot, control, &OneShotBinding::control);
  return it == kOneShot.end() ? nullptr : &*it;
}

const RepeatBinding* FindRepeat(std::string_view control) {
  auto it = std::ranges::find(kRepeat, control, &RepeatBinding::control);
  return it == kRepeat.end() ? nullptr : &*it;
}

std::string_view RepeatCommandOf(std::uint8_t repeatCode) {
  auto it = std::ranges::find(kRepeatCommands, repeatCode, &RepeatCommand::repeatCode);
  return it == kRepeatCommands.end() ? std::string_view{} : it->code;
}

}  // namespace mero::panel
