#pragma once

#include <QString>
#include <algorithm>
#include <array>
#include <string_view>

// What the files of QtWindow share, and no one else uses.

namespace mero::panel {

// The traffic monitor's lines: their text can be selected with the mouse and copied with
// Ctrl+C. They keep taking no focus, so the keys' focus and tab order stay as they are.
inline constexpr std::array<std::string_view, 3> kMonitorLines = {"Label11", "Label12", "Label22"};

inline bool IsMonitorLine(std::string_view name) {
  return std::ranges::find(kMonitorLines, name) != kMonitorLines.end();
}

inline QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace mero::panel
