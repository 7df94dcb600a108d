#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace mero::cli {

// The words that start a headless command instead of the panel's window. They are kept apart
// from the rest of the headless commands so that the panel can tell them, and hand them on,
// without carrying the commands themselves.
enum class Command { Query, Send };
inline constexpr std::array<std::string_view, 2> kCommandWords = {"query", "send"};

// "query" and "send": the words that start a headless command instead of the window.
std::optional<Command> CommandOf(std::string_view word);
// A word one letter or so off "query" or "send" that names no file: a mistyped command
// rather than the panel's DEVICE, which it would otherwise be taken for.
bool IsMistypedCommand(std::string_view word);

}  // namespace mero::cli
