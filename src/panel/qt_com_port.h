#pragma once

#include <utility>

#include "link/lines/qt_line_host.h"
#include "link/lines/qt_timer.h"
#include "panel/com_port.h"

namespace mero::panel {

namespace detail {
// Built before the port that uses them.
struct QtComPortParts {
  link::QtLineHost host;
  link::QtTimer retry;
  link::QtTimer settle;
};
}  // namespace detail

// The form's port over the machine's devices and device servers, on the Qt event loop.
class QtComPort : private detail::QtComPortParts, public ComPort {
 public:
  // In the header: the service, which links no widget, uses it too.
  QtComPort(link::ComDevice com1, link::ComDevice com2)
      : ComPort(std::move(com1), std::move(com2), host, {retry, settle}) {}
};

}  // namespace mero::panel
