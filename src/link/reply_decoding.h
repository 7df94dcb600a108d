#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace mero::link {

// Decodes the shown received text (the monitor text of everything received since the buffer
// was last emptied) as the reply to the query in lastCommand. Returns the text for the status
// line, or nothing when lastCommand is not one of the nine queries or the reply fits no row.
// The pressure query stores its reading, then the pressure in hPa, in pressureValue.
std::optional<std::string> DecodeReply(std::string_view shown, std::string_view lastCommand,
                                       std::string_view commandPrefix, std::int64_t& pressureValue);

}  // namespace mero::link
