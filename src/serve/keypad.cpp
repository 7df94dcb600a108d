#include "serve/keypad.h"

#include <algorithm>
#include <array>

#include "panel/controls.h"
#include "panel/form.h"
#include "serve/json_text.h"

namespace mero::serve {
namespace {

// clang-format off
constexpr std::array kPower = std::to_array<KeypadKey>({{"power-on", "Command17"}, {"power-off", "Command18"}});
constexpr std::array kInput = std::to_array<KeypadKey>({
    {"input-pc1", "Command27"}, {"input-pc2", "Command28"}, {"input-video", "Command29"}});
constexpr std::array kMenu = std::to_array<KeypadKey>({{"menu-on", "Command23"}, {"menu-off", "Command24"}});
constexpr std::array kCursor = std::to_array<KeypadKey>({
    {"cursor-up", "Command5"}, {"cursor-left", "Command9"}, {"select", "Command6"},
    {"cursor-right", "Command8"}, {"cursor-down", "Command7"}});
constexpr std::array kVolume = std::to_array<KeypadKey>({{"volume-up", "Command1"}, {"volume-down", "Command2"}});
constexpr std::array kBrightness = std::to_array<KeypadKey>({
    {"brightness-up", "Command15"}, {"brightness-down", "Command35"}});
constexpr std::array kZoom = std::to_array<KeypadKey>({{"zoom-up", "Command48"}, {"zoom-down", "Command49"}});
constexpr std::array kKeystone = std::to_array<KeypadKey>({
    {"keystone-up", "Command50"}, {"keystone-down", "Command51"}});
constexpr std::array kSoundMute = std::to_array<KeypadKey>({{"mute-on", "Command19"}, {"mute-off", "Command20"}});
constexpr std::array kNoShow = std::to_array<KeypadKey>({{"no-show-on", "Command21"}, {"no-show-off", "Command22"}});
constexpr std::array kFreeze = std::to_array<KeypadKey>({{"freeze-on", "Command25"}, {"freeze-off", "Command26"}});
constexpr std::array kAvSize = std::to_array<KeypadKey>({
    {"av-size-regular", "Command31"}, {"av-size-wide", "Command32"}});
constexpr std::array kImage = std::to_array<KeypadKey>({
    {"a-image", "Command13"}, {"image", "Command30"}, {"p-timer", "Command14"},
    {"display-clear", "Command3"}, {"image-stand", "Command4"}, {"image-real", "Command10"},
    {"image-cinema", "Command11"}, {"image-1", "Command39"}, {"image-2", "Command40"},
    {"image-3", "Command41"}, {"image-4", "Command42"}, {"image-blackboard", "Command12"},
    {"image-dynamic", "Command36"}});
constexpr std::array kKeyDisable = std::to_array<KeypadKey>({
    {"key-disable-none", "Command56"}, {"key-disable-rc", "Command57"}, {"key-disable-key", "Command58"}});
constexpr std::array kStatus = std::to_array<KeypadKey>({
    {"status", "Command44"}, {"input", "Command45"}, {"lamp-hours", "Command46"},
    {"image-reversal", "Command47"}, {"temperatures", "Command54"}});
constexpr std::array kPc1 = std::to_array<KeypadKey>({
    {"pc1-rgb", "Command64"}, {"pc1-dvi-digital", "Command65"}, {"pc1-dvi-hdcp", "Command66"}});
constexpr std::array kPc2 = std::to_array<KeypadKey>({
    {"pc2-rgb", "Command72"}, {"pc2-component", "Command74"}, {"pc2-scart", "Command73"},
    {"pc2-terminal-in", "Command53"}, {"pc2-terminal-out", "Command76"}});
constexpr std::array kVideo = std::to_array<KeypadKey>({
    {"video-auto", "Command81"}, {"video-composite", "Command82"}, {"video-s-video", "Command69"}});
constexpr std::array kFan = std::to_array<KeypadKey>({{"fan-max", "Command97"}, {"fan-normal", "Command98"}});
constexpr std::array kLogo = std::to_array<KeypadKey>({
    {"logo-capture", "Command60"}, {"logo-off", "Command61"}, {"logo-default", "Command63"},
    {"logo-user", "Command67"}});

// The panel's frames and captions; the cursor pad, the image keys and the logo keys stand
// under no caption of the panel's.
constexpr std::array kGroups = std::to_array<KeypadGroup>({
    {"Label1", "", kPower},       {"Label2", "", kInput},      {"Label7", "", kMenu},
    {"", "CURSOR", kCursor},      {"Label3", "", kVolume},     {"Label13", "", kBrightness},
    {"Label17", "", kZoom},       {"Label18", "", kKeystone},  {"Label4", "", kSoundMute},
    {"Label5", "", kNoShow},      {"Label8", "", kFreeze},     {"Label6", "", kAvSize},
    {"", "IMAGE", kImage},        {"Label19", "", kKeyDisable}, {"Label23", "", kStatus},
    {"Label15", "", kPc1},        {"Label16", "", kPc2},       {"Label24", "", kVideo},
    {"Label27", "", kFan},        {"", "LOGO", kLogo},
});

// The two keys the panel handles itself: they open a menu, and the cursor keys then repeat
// at the menu's period.
struct MenuKey {
  std::string_view control;
  std::string_view code;
};
constexpr std::array kMenuKeys = std::to_array<MenuKey>({{"Command23", "C1C"}, {"Command13", "C89"}});
// clang-format on

std::string_view TitleOf(const KeypadGroup& group) {
  if (group.titleControl.empty()) return group.title;
  const panel::ControlRow* row = panel::FindControl(group.titleControl);
  return row != nullptr ? row->caption : group.title;
}

std::optional<KeyAction> ActionOf(const KeypadKey& key) {
  const panel::ControlRow* row = panel::FindControl(key.control);
  const std::string_view caption = row != nullptr ? row->caption : key.name;
  if (const link::OneShotCommand* command = panel::FindOneShot(key.control)) {
    return KeyAction{key.name, caption, command->code, nullptr, false};
  }
  if (const panel::RepeatBinding* repeat = panel::FindRepeat(key.control)) {
    return KeyAction{key.name, caption, repeat->code, repeat, false};
  }
  const auto* menu = std::ranges::find(kMenuKeys, key.control, &MenuKey::control);
  if (menu == kMenuKeys.end()) return std::nullopt;
  return KeyAction{key.name, caption, menu->code, nullptr, true};
}

}  // namespace

std::span<const KeypadGroup> KeypadGroups() { return kGroups; }

std::optional<KeyAction> FindKey(std::string_view name) {
  for (const KeypadGroup& group : kGroups) {
    const auto key = std::ranges::find(group.keys, name, &KeypadKey::name);
    if (key != group.keys.end()) return ActionOf(*key);
  }
  return std::nullopt;
}

void CursorPeriod::pressed(const KeyAction& key) {
  if (key.setsMenuMode) ms = panel::kCursorMenuPeriod;
}

void CursorPeriod::released(const KeyAction& key) {
  if (key.repeat != nullptr && key.repeat->setsZoomMode) ms = panel::kZoomReleasePeriod;
}

int CursorPeriod::periodOf(const KeyAction& key) const {
  if (key.repeat != nullptr && key.repeat->period) return *key.repeat->period;
  return ms > 0 ? ms : panel::kTimer1Start;
}

std::string KeypadJson() {
  json::List groups;
  for (const KeypadGroup& group : kGroups) {
    json::List keys;
    for (const KeypadKey& key : group.keys) {
      const std::optional<KeyAction> action = ActionOf(key);
      if (!action) continue;
      const bool repeats = action->repeat != nullptr;
      json::Object object;
      object.add("key", json::Quoted(key.name))
          .add("caption", json::Quoted(action->caption))
          .add("repeats", json::Boolean(repeats))
          .add("periodMs", repeats && action->repeat->period
                               ? std::to_string(*action->repeat->period)
                               : std::string(json::kNull));
      keys.add(object.text());
    }
    json::Object object;
    object.add("title", json::Quoted(TitleOf(group))).add("keys", keys.text());
    groups.add(object.text());
  }
  return json::Object().add("groups", groups.text()).text();
}

}  // namespace mero::serve
