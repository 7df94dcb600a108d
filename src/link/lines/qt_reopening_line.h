#pragma once

#include "link/lines/qt_line_host.h"
#include "link/lines/qt_timer.h"
#include "link/port/reopening_line.h"

namespace mero::link {

namespace detail {
// Built before the line that uses them.
struct QtReopeningLineParts {
  QtLineHost host;
  QtTimer retry;
  QtTimer settle;
};
}  // namespace detail

// A reopening line to a device or device server, on the Qt event loop.
class QtReopeningLine : private detail::QtReopeningLineParts, public ReopeningLine {
 public:
  QtReopeningLine(ComDevice device, LineSettings settings);
};

}  // namespace mero::link
