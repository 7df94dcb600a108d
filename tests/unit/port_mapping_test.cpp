// Which devices COM1 and COM2 are: the ordering of the ports found and the mapping to COMs.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "link/port/port_discovery.h"

namespace mero::link {
namespace {

PortInfo Uart(std::string device, bool hardware = true) {
  PortInfo port;
  port.device = std::move(device);
  port.kind = PortInfo::Kind::BuiltIn;
  port.hasHardware = hardware;
  return port;
}

PortInfo Adapter(std::string device, std::string stableName = {}) {
  PortInfo port;
  port.device = std::move(device);
  port.stableName = std::move(stableName);
  port.kind = KindOfDevice(port.device);
  return port;
}

const std::string kFtdi = "/dev/serial/by-id/usb-FTDI_FT232R_A1-if00-port0";
const std::string kProlific = "/dev/serial/by-id/usb-Prolific_PL2303_B2-if00-port0";

TEST(PortMapping, ComOneAndTwoFromThePortsFound) {
  using Named = std::optional<std::string>;
  const struct {
    const char* what;
    std::vector<PortInfo> ports;
    Named com1, com2;  // named on the command line
    std::string expect1, expect2;
  } cases[] = {
      {"no ports", {}, {}, {}, "/dev/ttyS0", "/dev/ttyS1"},
      {"only phantom UARTs",
       {Uart("/dev/ttyS0", false), Uart("/dev/ttyS1", false), Uart("/dev/ttyS2", false)},
       {},
       {},
       "/dev/ttyS0",
       "/dev/ttyS1"},
      {"a phantom UART does not take a COM",
       {Uart("/dev/ttyS0", false), Adapter("/dev/ttyUSB0", kFtdi)},
       {},
       {},
       "/dev/ttyUSB0",
       "/dev/ttyS1"},
      {"built-in first, then USB",
       {Adapter("/dev/ttyUSB0", kFtdi), Uart("/dev/ttyS1"), Uart("/dev/ttyS0", false)},
       {},
       {},
       "/dev/ttyS1",
       "/dev/ttyUSB0"},
      {"two adapters, FTDI plugged first",
       {Adapter("/dev/ttyUSB0", kFtdi), Adapter("/dev/ttyUSB1", kProlific)},
       {},
       {},
       "/dev/ttyUSB0",
       "/dev/ttyUSB1"},
      {"two adapters, FTDI plugged second: the same adapter is the same COM",
       {Adapter("/dev/ttyUSB0", kProlific), Adapter("/dev/ttyUSB1", kFtdi)},
       {},
       {},
       "/dev/ttyUSB1",
       "/dev/ttyUSB0"},
      {"a modem-class adapter counts as an adapter",
       {Adapter("/dev/ttyACM0", kProlific), Adapter("/dev/ttyUSB3", kFtdi)},
       {},
       {},
       "/dev/ttyUSB3",
       "/dev/ttyACM0"},
      {"adapters without stable names after those with one, by number",
       {Adapter("/dev/ttyUSB10"), Adapter("/dev/ttyUSB2"), Adapter("/dev/ttyUSB7", kFtdi)},
       {},
       {},
       "/dev/ttyUSB7",
       "/dev/ttyUSB2"},
      {"UARTs by number, not by text",
       {Uart("/dev/ttyS10"), Uart("/dev/ttyS2")},
       {},
       {},
       "/dev/ttyS2",
       "/dev/ttyS10"},
      {"other kinds of port last",
       {Adapter("/dev/ttyAMA0"), Adapter("/dev/ttyUSB0")},
       {},
       {},
       "/dev/ttyUSB0",
       "/dev/ttyAMA0"},
      {"a named COM1 keeps its device and COM2 skips it",
       {Adapter("/dev/ttyUSB0", kFtdi), Adapter("/dev/ttyUSB1", kProlific)},
       kFtdi,
       {},
       kFtdi,
       "/dev/ttyUSB1"},
      {"a named COM2 leaves the first free port to COM1",
       {Adapter("/dev/ttyUSB0", kFtdi), Adapter("/dev/ttyUSB1", kProlific)},
       {},
       "/dev/ttyUSB0",
       "/dev/ttyUSB1",
       "/dev/ttyUSB0"},
      {"a named device that was not found",
       {Adapter("/dev/ttyUSB0", kFtdi)},
       "/tmp/projector",
       {},
       "/tmp/projector",
       "/dev/ttyUSB0"},
  };
  for (const auto& c : cases) {
    const ComDevices com = MapPorts(OrderPorts(c.ports), c.com1, c.com2);
    EXPECT_EQ(com.com1.path, c.expect1) << c.what;
    EXPECT_EQ(com.com2.path, c.expect2) << c.what;
    EXPECT_EQ(com.com1.fallback, c.expect1 == kFallbackCom1) << c.what;
    EXPECT_EQ(com.com2.fallback, c.expect2 == kFallbackCom2) << c.what;
  }
}

TEST(PortMapping, StableNamesTravelWithTheirDevice) {
  const ComDevices com =
      MapPorts(OrderPorts({Adapter("/dev/ttyUSB1", kProlific), Adapter("/dev/ttyUSB0", kFtdi)}),
               std::nullopt, "/dev/ttyUSB1");
  EXPECT_EQ(com.com1.stableName, kFtdi);
  EXPECT_EQ(com.com2.stableName, kProlific);
}

TEST(PortList, OneLineAPortWithWhatIsKnown) {
  PortInfo full = Adapter("/dev/ttyUSB0", kFtdi);
  full.description = "FT232R USB UART";
  full.vendorId = 0x0403;
  full.productId = 0x6001;
  full.serialNumber = "A1";
  EXPECT_EQ(DescribePort(full, "COM1"),
            "/dev/ttyUSB0  COM1  " + kFtdi + "  \"FT232R USB UART\"  usb 0403:6001  serial A1");
  EXPECT_EQ(DescribePort(Uart("/dev/ttyS0"), ""), "/dev/ttyS0");
}

TEST(ShowPath, KeepsTextAndEscapesWhatIsNot) {
  const std::pair<std::string, std::string> cases[] = {
      {"/dev/ttyUSB0", "/dev/ttyUSB0"},
      {"/tmp/caf\xc3\xa9", "/tmp/caf\xc3\xa9"},  // UTF-8 stays
      {"/tmp/caf\xe9", "/tmp/caf\\xe9"},         // Latin-1 does not
      {"/tmp/a\nb", "/tmp/a\\x0ab"},
      {"/tmp/\xc3", "/tmp/\\xc3"},                    // a cut-off sequence
      {"/tmp/\xed\xa0\x80", R"(/tmp/\xed\xa0\x80)"},  // a surrogate is not UTF-8
      {"a\\b", "a\\x5cb"},                            // so that an escape is never ambiguous
  };
  for (const auto& [path, shown] : cases) EXPECT_EQ(ShowPath(path), shown);
}

}  // namespace
}  // namespace mero::link
