#pragma once

#include <string>

namespace mero::link {

// Text on the serial line: one char per byte, in order.
using Bytes = std::string;

}  // namespace mero::link
