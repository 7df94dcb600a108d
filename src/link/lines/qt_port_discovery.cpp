#include "link/lines/qt_port_discovery.h"

#include <dirent.h>
#include <stdlib.h>

#include <QFile>
#include <QSerialPortInfo>
#include <fstream>
#include <map>
#include <memory>

namespace mero::link {
namespace {

constexpr const char* kStableNameFolder = "/dev/serial/by-id";
constexpr const char* kTtyClassFolder = "/sys/class/tty/";
// The UART type the kernel reports for a reserved port with no chip behind it.
constexpr int kUartTypeUnknown = 0;

std::string RealPath(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return {};
  std::string real(resolved);
  free(resolved);
  return real;
}

// Every stable name, by the device it leads to.
std::map<std::string, std::string> StableNames() {
  std::map<std::string, std::string> names;
  const auto closeFolder = [](DIR* folder) { closedir(folder); };
  std::unique_ptr<DIR, decltype(closeFolder)> folder(opendir(kStableNameFolder), closeFolder);
  if (!folder) return names;
  while (const dirent* entry = readdir(folder.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string link = std::string(kStableNameFolder) + "/" + name;
    const std::string device = RealPath(link);
    // Of two names for one device, keep the first in order, so the choice is repeatable.
    if (!device.empty() && (!names.contains(device) || link < names[device])) {
      names[device] = link;
    }
  }
  return names;
}

// A built-in UART name is reserved whether or not a chip answers at its address; the kernel
// reports the chip's type, which is "unknown" when there is none.
bool UartHasHardware(const std::string& baseName) {
  std::ifstream type(kTtyClassFolder + baseName + "/type");
  int value = kUartTypeUnknown;
  if (!(type >> value)) return true;  // not a UART that reports a type: assume it is real
  return value != kUartTypeUnknown;
}

}  // namespace

std::vector<PortInfo> ListSystemPorts() {
  const std::map<std::string, std::string> stable = StableNames();
  std::vector<PortInfo> ports;
  for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
    PortInfo port;
    port.device = QFile::encodeName(info.systemLocation()).toStdString();
    port.kind = KindOfDevice(port.device);
    if (const auto found = stable.find(RealPath(port.device)); found != stable.end()) {
      port.stableName = found->second;
    }
    port.description = info.description().toStdString();
    if (info.hasVendorIdentifier()) port.vendorId = info.vendorIdentifier();
    if (info.hasProductIdentifier()) port.productId = info.productIdentifier();
    port.serialNumber = info.serialNumber().toStdString();
    if (port.kind == PortInfo::Kind::BuiltIn) {
      port.hasHardware = UartHasHardware(QFile::encodeName(info.portName()).toStdString());
    }
    ports.push_back(std::move(port));
  }
  return ports;
}

std::string StableNameOf(const std::string& device) {
  const std::string real = RealPath(device);
  if (real.empty()) return {};
  const std::map<std::string, std::string> stable = StableNames();
  const auto found = stable.find(real);
  return found == stable.end() ? std::string() : found->second;
}

}  // namespace mero::link
