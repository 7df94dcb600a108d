#include "panel/bindings.h"

#include <algorithm>
#include <array>

namespace mero::panel {
namespace {

// clang-format off
// control, command name
constexpr std::array kOneShot = std::to_array<OneShotBinding>({
    {"Command17", "power-on"},
    {"Command18", "power-off"},
    {"Command27", "input-pc1"},
    {"Command28", "input-pc2"},
    {"Command29", "input-video"},
    {"Command19", "mute-on"},
    {"Command20", "mute-off"},
    {"Command21", "no-show-on"},
    {"Command22", "no-show-off"},
    {"Command31", "av-size-regular"},
    {"Command32", "av-size-wide"},
    {"Command24", "menu-off"},
    {"Command25", "freeze-on"},
    {"Command26", "freeze-off"},
    {"Command30", "image"},
    {"Command14", "p-timer"},
    {"Command3",  "display-clear"},
    {"Command4",  "image-stand"},
    {"Command10", "image-real"},
    {"Command11", "image-cinema"},
    {"Command39", "image-1"},
    {"Command40", "image-2"},
    {"Command41", "image-3"},
    {"Command42", "image-4"},
    {"Command12", "image-blackboard"},
    {"Command36", "image-dynamic"},
    {"Command56", "key-disable-none"},
    {"Command57", "key-disable-rc"},
    {"Command58", "key-disable-key"},
    {"Command44", "status"},
    {"Command46", "lamp-hours"},
    {"Command54", "temperatures"},
    {"Command45", "input"},
    {"Command47", "image-reversal"},
    {"Command64", "pc1-rgb"},
    {"Command65", "pc1-dvi-digital"},
    {"Command66", "pc1-dvi-hdcp"},
    {"Command72", "pc2-rgb"},
    {"Command74", "pc2-component"},
    {"Command73", "pc2-scart"},
    {"Command53", "pc2-terminal-in"},
    {"Command76", "pc2-terminal-out"},
    {"Command81", "video-auto"},
    {"Command82", "video-composite"},
    {"Command69", "video-s-video"},
    {"Command60", "logo-capture"},
    {"Command61", "logo-off"},
    {"Command63", "logo-default"},
    {"Command67", "logo-user"},
    {"Command97", "fan-max"},
    {"Command98", "fan-normal"},
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

std::span<const OneShotBinding> OneShotBindings() { return kOneShot; }

const link::OneShotCommand* FindOneShot(std::string_view control) {
  auto it = std::ranges::find(kOneShot, control, &OneShotBinding::control);
  return it == kOneShot.end() ? nullptr : link::FindOneShotCommand(it->name);
}

const OneShotBinding* FindOneShotKey(std::string_view name) {
  auto it = std::ranges::find(kOneShot, name, &OneShotBinding::name);
  return it == kOneShot.end() ? nullptr : &*it;
}

std::span<const RepeatBinding> RepeatBindings() { return kRepeat; }
std::span<const RepeatCommand> RepeatCommands() { return kRepeatCommands; }
std::span<const CursorTiming> CursorTimings() { return kCursorTimings; }

const RepeatBinding* FindRepeat(std::string_view control) {
  auto it = std::ranges::find(kRepeat, control, &RepeatBinding::control);
  return it == kRepeat.end() ? nullptr : &*it;
}

std::string_view RepeatCommandOf(std::uint8_t repeatCode) {
  auto it = std::ranges::find(kRepeatCommands, repeatCode, &RepeatCommand::repeatCode);
  return it == kRepeatCommands.end() ? std::string_view{} : it->code;
}

}  // namespace mero::panel
