#pragma once

#include <string>
#include <string_view>

namespace mero::link {

// The printable form of traffic: a leading blank, then every character followed by a blank,
// control characters written out ("ACK ", "CR ", "LF ", "? "), code 20 as a lone "&".
std::string MonitorText(std::string_view text);

}  // namespace mero::link
