#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "app/options.h"

namespace mero::app {
namespace {

Options Parse(std::vector<std::string_view> args) { return ParseOptions(args); }

TEST(Options, DefaultsAreTheFirstTwoSerialPorts) {
  const Options options = Parse({});
  EXPECT_EQ(options.com1, "/dev/ttyS0");
  EXPECT_EQ(options.com2, "/dev/ttyS1");
  EXPECT_FALSE(options.demo || options.help || options.version);
  EXPECT_EQ(options.error, "");
}

TEST(Options, DevicesAndSwitches) {
  const Options options =
      Parse({"--com2", "/dev/serial/by-id/usb-FTDI-if00", "--demo", "--com1", "/dev/ttyUSB0"});
  EXPECT_EQ(options.com1, "/dev/ttyUSB0");
  EXPECT_EQ(options.com2, "/dev/serial/by-id/usb-FTDI-if00");
  EXPECT_TRUE(options.demo);
  EXPECT_TRUE(Parse({"--help"}).help);
  EXPECT_TRUE(Parse({"-h"}).help);
  EXPECT_TRUE(Parse({"--version"}).version);
}

TEST(Options, MistakesAreNamed) {
  const std::pair<std::vector<std::string_view>, std::string_view> cases[] = {
      {{"--com1"}, "--com1 needs a device"},
      {{"--com2", ""}, "--com2 needs a device"},
      {{"--speed", "9600"}, "unknown option: --speed"},
      {{"/dev/ttyUSB0"}, "unknown option: /dev/ttyUSB0"},
  };
  for (const auto& [args, error] : cases) {
    EXPECT_EQ(Parse(args).error.rfind(error, 0), 0u) << Parse(args).error;
  }
}

}  // namespace
}  // namespace mero::app
