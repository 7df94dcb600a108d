#include "app/options.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mero::app {
namespace {

using Args = std::vector<std::string_view>;
using Device = std::optional<std::string>;

TEST(Options, DevicesInEveryForm) {
  const struct {
    Args args;
    Device com1, com2;
  } cases[] = {
      {{}, std::nullopt, std::nullopt},
      {{"/dev/ttyUSB0"}, "/dev/ttyUSB0", std::nullopt},
      {{"--com1", "/dev/ttyUSB0"}, "/dev/ttyUSB0", std::nullopt},
      {{"--com1=/dev/ttyUSB0"}, "/dev/ttyUSB0", std::nullopt},
      {{"--com2=/dev/ttyACM0", "/dev/ttyUSB1"}, "/dev/ttyUSB1", "/dev/ttyACM0"},
      {{"--com2", "/dev/serial/by-id/usb-FTDI-if00", "--com1", "/dev/ttyS3"},
       "/dev/ttyS3",
       "/dev/serial/by-id/usb-FTDI-if00"},
      // A path is the system's bytes, whatever their encoding.
      {{"/tmp/caf\xe9"}, "/tmp/caf\xe9", std::nullopt},
      // The log's file is no DEVICE.
      {{"--log", "/tmp/mero.log", "/dev/ttyUSB0"}, "/dev/ttyUSB0", std::nullopt},
      {{"--log=/tmp/mero.log", "--com2", "/dev/ttyS1"}, std::nullopt, "/dev/ttyS1"},
  };
  for (const auto& c : cases) {
    const Options options = ParseOptions(c.args);
    EXPECT_EQ(options.error, "") << (c.args.empty() ? "" : c.args.front());
    EXPECT_EQ(options.com1, c.com1);
    EXPECT_EQ(options.com2, c.com2);
  }
  EXPECT_EQ(ParseOptions(Args{"--log", "/tmp/caf\xe9.log"}).log, "/tmp/caf\xe9.log");
  EXPECT_EQ(ParseOptions(Args{}).log, std::nullopt);
}

TEST(Options, Switches) {
  const struct {
    Args args;
    bool Options::*flag;
  } cases[] = {
      {{"--demo"}, &Options::demo}, {{"--list-ports"}, &Options::listPorts},
      {{"-h"}, &Options::help},     {{"--help"}, &Options::help},
      {{"-v"}, &Options::version},  {{"--version"}, &Options::version},
      {{"--full"}, &Options::full},
  };
  for (const auto& c : cases) {
    const Options options = ParseOptions(c.args);
    EXPECT_TRUE(options.*c.flag) << c.args.front();
    EXPECT_EQ(options.error, "") << c.args.front();
  }
  EXPECT_FALSE(ParseOptions(Args{"/dev/ttyUSB0"}).demo);
  EXPECT_FALSE(ParseOptions(Args{"/dev/ttyUSB0"}).full);
}

TEST(Options, StartSpeedInEveryForm) {
  const std::pair<Args, std::optional<int>> cases[] = {
      {{}, std::nullopt},
      {{"--speed", "9600"}, 9600},
      {{"--speed=19200"}, 19200},
      {{"-b", "9600"}, 9600},
      {{"-b", "19200", "/dev/ttyUSB0"}, 19200},
  };
  for (const auto& [args, speed] : cases) {
    const Options options = ParseOptions(args);
    EXPECT_EQ(options.error, "");
    EXPECT_EQ(options.speed, speed);
  }
}

TEST(Options, MistakesAreNamedWithAPointerToHelp) {
  const std::pair<Args, std::string_view> cases[] = {
      {{"--com1"}, "--com1 needs a device"},
      {{"--com2", ""}, "--com2 needs a device"},
      {{"--com1="}, "--com1 needs a device"},
      {{"--log"}, "--log needs a file"},
      {{"--log="}, "--log needs a file"},
      {{"--speed"}, "--speed needs a speed: 19200 or 9600"},
      {{"-b"}, "-b needs a speed: 19200 or 9600"},
      {{"--speed="}, "--speed needs a speed: 19200 or 9600"},
      {{"--speed", "115200"}, "--speed is 19200 or 9600, not 115200"},
      {{"-b", "9600.0"}, "--speed is 19200 or 9600, not 9600.0"},
      {{"--baud", "9600"}, "unknown option --baud; see mero-control --help"},
      {{"-x"}, "unknown option -x; see mero-control --help"},
      {{"/dev/ttyUSB0", "/dev/ttyUSB1"}, "more than one DEVICE (/dev/ttyUSB1)"},
      {{"/dev/ttyUSB0", "--com1", "/dev/ttyUSB1"}, "COM1 is named twice"},
  };
  for (const auto& [args, error] : cases) {
    const std::string got = ParseOptions(args).error;
    EXPECT_EQ(got.rfind(error, 0), 0u) << got;
  }
}

}  // namespace
}  // namespace mero::app
