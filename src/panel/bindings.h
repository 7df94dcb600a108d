#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "link/protocol/commands.h"

namespace mero::panel {

using link::IntervalsOf;
using link::TimerIntervals;
using link::Timing;

// A key that sends one fixed command per click. The key names the command as the headless
// commands do, so its code and timing are kept in the link's table alone.
struct OneShotBinding {
  std::string_view control;
  std::string_view name;
};

std::span<const OneShotBinding> OneShotBindings();
// The command the key `control` sends, or null when it is no one-shot key.
const link::OneShotCommand* FindOneShot(std::string_view control);
// The key that sends the command called `name`, or null when no key does.
const OneShotBinding* FindOneShotKey(std::string_view name);

// A key that sends at the press and repeats while held. Keys with a period set the three
// intervals after the press's send; cursor keys take theirs from the cursor mode.
struct RepeatBinding {
  std::string_view control;
  std::string_view code;
  std::uint8_t repeatCode;
  std::optional<int> period;  // Timer1, ms; none for the cursor keys
  int reply = 0;              // Timer2, ms
  int monitor = 0;            // Timer4, ms
  bool setsZoomMode = false;  // the D.Zoom keys: their release sets the cursor mode
};

// What the repeat tick sends for each repeat code.
struct RepeatCommand {
  std::uint8_t repeatCode;
  std::string_view code;
};

// The monitor timings of a cursor-key press, by cursor mode; none leaves them as they are.
struct CursorTiming {
  std::uint8_t cursorMode;
  int reply;
  int monitor;
};

std::span<const RepeatBinding> RepeatBindings();
std::span<const RepeatCommand> RepeatCommands();
std::span<const CursorTiming> CursorTimings();

const RepeatBinding* FindRepeat(std::string_view control);
// The command of a repeat code, or empty for an unassigned code.
std::string_view RepeatCommandOf(std::uint8_t repeatCode);

}  // namespace mero::panel
