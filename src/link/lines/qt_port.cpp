#include "link/lines/qt_port.h"

#include <QByteArray>

#include "link/port/network_address.h"
#include "link/lines/qt_device_line.h"
#include "link/lines/qt_network_line.h"
#include "link/lines/qt_port_discovery.h"

namespace mero::link {

QtLineHost::QtLineHost() {
  watch_.onChange = [this] {
    if (onDeviceAppeared) onDeviceAppeared();
  };
}

std::unique_ptr<Line> QtLineHost::makeLine(const ComDevice& device) {
  if (LooksLikeNetworkAddress(device.path)) return std::make_unique<QtNetworkLine>(device.path);
  return std::make_unique<QtDeviceLine>(device);
}

std::vector<PortInfo> QtLineHost::systemPorts() { return ListSystemPorts(); }

void QtLineHost::watch(const std::vector<std::string>& paths) {
  std::vector<QByteArray> watched;
  for (const std::string& path : paths) watched.push_back(QByteArray::fromStdString(path));
  watch_.watch(std::move(watched));
}

void QtLineHost::stopWatching() { watch_.stop(); }

}  // namespace mero::link
