#pragma once

#include <QSocketNotifier>

#include "link/port/traffic_log.h"

namespace mero::link {

// Writes a traffic log's waiting lines from the event loop as soon as its file can take them,
// rather than only when the next line comes: traffic may have stopped. Watches the descriptor
// only while lines wait. Needs the application object, and must end before the log does.
class QtLogDrain {
 public:
  explicit QtLogDrain(TrafficLog& log);
  ~QtLogDrain();
  QtLogDrain(const QtLogDrain&) = delete;
  QtLogDrain& operator=(const QtLogDrain&) = delete;

 private:
  TrafficLog& log_;
  QSocketNotifier writable_;
};

}  // namespace mero::link
