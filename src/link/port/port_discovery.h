#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mero::link {

// One serial port as the system describes it. Paths are the system's own bytes.
struct PortInfo {
  enum class Kind {
    BuiltIn,  // a UART on the machine itself (ttyS*)
    Adapter,  // a USB serial adapter or a modem-class device (ttyUSB*, ttyACM*)
    Other,    // anything else the system lists as a serial port
  };

  std::string device;      // "/dev/ttyUSB0"
  std::string stableName;  // "/dev/serial/by-id/usb-FTDI_..."; "" when there is none
  std::string description;
  std::optional<std::uint16_t> vendorId;
  std::optional<std::uint16_t> productId;
  std::string serialNumber;
  Kind kind = Kind::Other;
  // False for a built-in UART the system reserves a name for but that has nothing behind it.
  bool hasHardware = true;
};

// The kind a device belongs to, by its name.
PortInfo::Kind KindOfDevice(const std::string& device);

// The ports that can carry a line, in COM order: built-in UARTs first by number, then
// adapters by stable name (those without one after them, by number), then the rest by name.
// Ports with no hardware behind them are left out.
std::vector<PortInfo> OrderPorts(std::vector<PortInfo> ports);

// The devices behind COM1 and COM2.
struct ComDevices {
  struct Device {
    std::string path;
    std::string stableName;
    // No port has been found for this COM, because there was none or because none was looked
    // for yet: the path is the traditional default, and the ports are looked through again
    // before it is opened.
    bool fallback = false;
  };
  Device com1;
  Device com2;
};
using ComDevice = ComDevices::Device;

inline constexpr const char* kFallbackCom1 = "/dev/ttyS0";
inline constexpr const char* kFallbackCom2 = "/dev/ttyS1";

// COM1 and COM2 in order: a COM the operator named keeps that device; the others take the
// ordered ports in turn, skipping ports that a named COM already uses; a COM left without a
// port keeps its traditional device.
ComDevices MapPorts(const std::vector<PortInfo>& ordered, const std::optional<std::string>& com1,
                    const std::optional<std::string>& com2);

// One line of the port list: device, stable name, description, vendor:product, serial
// number, and which COM the device is. `com` is "COM1", "COM2" or "".
std::string DescribePort(const PortInfo& port, const std::string& com);

// A path for showing: valid UTF-8 stays as it is, other bytes and control characters are
// written as \xNN.
std::string ShowPath(const std::string& path);

}  // namespace mero::link
