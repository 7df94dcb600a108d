#include "link/lines/qt_reopening_line.h"

#include <utility>

namespace mero::link {

QtReopeningLine::QtReopeningLine(ComDevice device, LineSettings settings)
    : ReopeningLine(std::move(device), settings, host, {retry, settle}) {}

}  // namespace mero::link
