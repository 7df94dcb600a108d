#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace mero::link {

// What a reply decodes to: the text for the status line, and for the pressure query the
// pressure in hPa, saturated at the int64 limits.
struct DecodedReply {
  std::optional<std::string> status;
  std::optional<std::int64_t> pressure;
};

// Decodes the shown received text (the monitor text of everything received since the buffer
// was last emptied) as the reply to the query in lastCommand. Both are missing when
// lastCommand is not one of the nine queries, and the status also when the reply fits no row.
DecodedReply DecodeReply(std::string_view shown, std::string_view lastCommand,
                         std::string_view commandPrefix);

// The codes of the nine queries DecodeReply reads, in the order it tries them.
std::span<const std::string_view> DecodedQueries();

// The figures a decoded reply carries, read from the same places of the shown text as the
// status line: lamp hours, the three temperatures in degrees Celsius, the pressure in hPa.
// A figure is missing where its reply has no number there or the query is another one.
struct ReplyFigures {
  std::optional<std::int64_t> hours;
  std::array<std::optional<double>, 3> degrees;
  std::optional<std::int64_t> hPa;
};
ReplyFigures ReadFigures(std::string_view shown, std::string_view lastCommand,
                         std::string_view commandPrefix);

}  // namespace mero::link
