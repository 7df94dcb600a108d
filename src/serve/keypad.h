#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "panel/bindings.h"

// The panel's keys as the web page's keypad shows them: the panel's groups under the panel's
// captions, each key sending what the panel's binding tables say it sends.
namespace mero::serve {

struct KeypadKey {
  std::string_view name;     // in the API: the headless command's name for a one-shot key
  std::string_view control;  // the panel's key
};

struct KeypadGroup {
  std::string_view titleControl;  // the panel's caption over the group; empty: `title`
  std::string_view title;
  std::span<const KeypadKey> keys;
};

std::span<const KeypadGroup> KeypadGroups();

// What a key does when pressed, from the panel's tables.
struct KeyAction {
  std::string_view name;
  std::string_view caption;
  std::string_view code;               // sent at the press
  const panel::RepeatBinding* repeat;  // null: a single send
  bool setsMenuMode;                   // the menu keys: the cursor keys' period follows
};
std::optional<KeyAction> FindKey(std::string_view name);

// How often a held key repeats. The cursor keys follow the mode the menu and D.Zoom keys set
// on the projector's keypad, as on the panel.
struct CursorPeriod {
  int ms = 0;  // none set yet: the panel's period at start
  void pressed(const KeyAction& key);
  void released(const KeyAction& key);
  int periodOf(const KeyAction& key) const;
};

// GET /api/v1/keypad.
std::string KeypadJson();

}  // namespace mero::serve
