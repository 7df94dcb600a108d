#pragma once

#include <string>

#include "link/port/line.h"

namespace mero::serve {

// Why a projector's line is down, in the service's own words: the address, the reason, and
// what an operator of the service can do about it. No text of the panel's.
std::string DescribeLineDown(const std::string& address, const link::LineFailure& failure);

}  // namespace mero::serve
