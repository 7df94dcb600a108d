#pragma once

#include <string>

#include "link/port/line.h"

namespace mero::panel {

// Every sentence the port tells the operator. `shownPath` is the device as ShowPath shows it.

std::string PortLabel(int portNumber, const std::string& shownPath);

// Why COM<portNumber> could not be opened.
std::string DescribeOpenFailure(const link::LineFailure& failure, int portNumber,
                                const std::string& shownPath);

// No port was found for COM<portNumber>, so that it falls back to shownPath, and that device
// is not there either.
std::string DescribeNoPortFound(int portNumber, const std::string& shownPath);

// The open COM<portNumber> went away under the program, however it was noticed.
std::string DescribeLostPort(int portNumber, const std::string& shownPath);

// A lost COM<portNumber> has been opened again.
std::string DescribeRestoredPort(int portNumber, const std::string& shownPath,
                                 const std::string& settings);

}  // namespace mero::panel
