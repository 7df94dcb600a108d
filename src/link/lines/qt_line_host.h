#pragma once

#include <memory>
#include <string>
#include <vector>

#include "link/lines/qt_device_watch.h"
#include "link/port/line.h"

namespace mero::link {

// Lines for the Qt event loop: a network address (tcp://, rfc2217://) becomes a network line,
// anything else a local device; devices appearing are noticed through the file system, with a
// watch made only when there is something to wait for (each costs an inotify instance, of which
// a user has few).
class QtLineHost : public LineHost {
 public:
  std::unique_ptr<Line> makeLine(const ComDevice& device) override;
  std::vector<PortInfo> systemPorts() override;
  void watch(const std::vector<std::string>& paths) override;
  void stopWatching() override;

 private:
  std::unique_ptr<DeviceWatch> watch_;
};

}  // namespace mero::link
