#pragma once

#include <string>
#include <vector>

#include "link/port/port_discovery.h"

namespace mero::link {

// The serial ports of this machine, through Qt's enumeration, with the stable names under
// /dev/serial/by-id and whether a built-in UART has hardware behind it. Unordered.
std::vector<PortInfo> ListSystemPorts();

// The /dev/serial/by-id name that leads to `device` (itself a path, maybe a link); "" when
// there is none.
std::string StableNameOf(const std::string& device);

}  // namespace mero::link
