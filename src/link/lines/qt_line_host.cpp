#include "link/lines/qt_line_host.h"

#include <QByteArray>

#include "link/lines/qt_device_line.h"
#include "link/lines/qt_network_line.h"
#include "link/lines/qt_port_discovery.h"
#include "link/port/network_address.h"

namespace mero::link {

std::unique_ptr<Line> QtLineHost::makeLine(const ComDevice& device) {
  if (LooksLikeNetworkAddress(device.path)) return std::make_unique<QtNetworkLine>(device.path);
  return std::make_unique<QtDeviceLine>(device);
}

std::vector<PortInfo> QtLineHost::systemPorts() { return ListSystemPorts(); }

void QtLineHost::watch(const std::vector<std::string>& paths) {
  std::vector<QByteArray> watched;
  watched.reserve(paths.size());
  for (const std::string& path : paths) watched.push_back(QByteArray::fromStdString(path));
  if (watched.empty()) {
    stopWatching();
    return;
  }
  if (!watch_) {
    watch_ = std::make_unique<DeviceWatch>();
    watch_->onChange = [this] {
      if (onDeviceAppeared) onDeviceAppeared();
    };
  }
  watch_->watch(std::move(watched));
}

void QtLineHost::stopWatching() {
  if (watch_) watch_->stop();
}

}  // namespace mero::link
