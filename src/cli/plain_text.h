#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "link/protocol/bytes.h"

namespace mero::cli {

// Bytes as one line of plain text that a terminal shows as it is and --raw reads back to the
// same bytes: printable ASCII stays, a backslash is doubled, CR, LF and TAB are \r, \n and \t,
// every other byte \xNN.
std::string Escaped(std::string_view bytes);

// The start of a reply for a message: at most `limit` bytes of it escaped, and when there is
// more, "..." and its whole length, so that a message about a reply stays short whatever
// arrived.
inline constexpr std::size_t kExcerptBytes = 64;
std::string Excerpt(std::string_view bytes, std::size_t limit = kExcerptBytes);

// The escapes --raw takes, the same as Escaped writes: \r, \n, \t, \\ and \xNN (two hex
// digits). The text, or why it cannot be read in `error`.
std::optional<link::Bytes> Unescaped(std::string_view text, std::string* error);

// Of the candidates, the one a mistyped word was most likely meant to be: one or two letters
// off (added, dropped, changed or swapped), fewer for short words. Nothing when none is close.
std::optional<std::string_view> Nearest(std::string_view word,
                                        std::span<const std::string_view> candidates);

}  // namespace mero::cli
