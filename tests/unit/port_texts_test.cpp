// Line settings texts and the port's sentences for the operator.
#include "panel/port_texts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/port/line_settings.h"

namespace mero::link {
namespace {

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(ParseSettings, ReadsTheFourFieldsAndWritesThemBack) {
  struct Case {
    const char* text;
    LineSettings expected;
    const char* written;
  };
  const Case cases[] = {
      {"19200,N,8,1", {19200, Parity::None, 8, StopBits::One}, "19200,N,8,1"},
      {"9600,n,8,1", {9600, Parity::None, 8, StopBits::One}, "9600,N,8,1"},
      {"4800,E,7,2", {4800, Parity::Even, 7, StopBits::Two}, "4800,E,7,2"},
      {"1200,O,5,1.5", {1200, Parity::Odd, 5, StopBits::OneAndHalf}, "1200,O,5,1.5"},
      {"300,M,6,1", {300, Parity::Mark, 6, StopBits::One}, "300,M,6,1"},
      {"110,s,8,1", {110, Parity::Space, 8, StopBits::One}, "110,S,8,1"},
  };
  for (const Case& c : cases) {
    const std::optional<LineSettings> parsed = ParseSettings(c.text);
    ASSERT_TRUE(parsed.has_value()) << c.text;
    EXPECT_EQ(*parsed, c.expected) << c.text;
    EXPECT_EQ(SettingsText(*parsed), c.written);
  }
}

TEST(ParseSettings, RejectsMalformedText) {
  for (const char* text :
       {"", "19200", "19200,N,8", "19200,N,8,1,", "19200,N,8,1,0", " 19200,N,8,1", "19200, N,8,1",
        "0,N,8,1", "-9600,N,8,1", "9600x,N,8,1", "9600,X,8,1", "9600,NN,8,1", "9600,N,4,1",
        "9600,N,9,1", "9600,N,8,3", "9600,N,8,1.0", "9600,,8,1"}) {
    EXPECT_FALSE(ParseSettings(text).has_value()) << '"' << text << '"';
  }
}

TEST(DescribeOpenFailure, NamesThePortTheDeviceAndTheReason) {
  using Kind = LineFailure::Kind;
  struct Case {
    LineFailure failure;
    int port;
    const char* path;
    std::vector<std::string> present;
    std::vector<std::string> absent;
  };
  const Case cases[] = {
      {{Kind::Absent},
       1,
       "/dev/ttyUSB0",
       {"COM1 (/dev/ttyUSB0) does not exist", "cable", "--com1"},
       {"permission", "in use"}},
      {{Kind::Absent}, 2, "/dev/ttyS1", {"COM2 (/dev/ttyS1)", "--com2"}, {"--com1"}},
      {{Kind::NoPermission, "Permission denied", "", "dialout"},
       2,
       "/dev/ttyUSB1",
       {"No permission to use COM2 (/dev/ttyUSB1)", "\"dialout\"", "add your user"},
       {"in use", "does not exist"}},
      {{Kind::NoPermission, "Permission denied"},
       1,
       "/dev/ttyACM0",
       {"No permission", "administrator"},
       {"group", "in use"}},
      {{Kind::Busy, "", "picocom, process 12"},
       1,
       "/dev/ttyS0",
       {"COM1 (/dev/ttyS0) is in use by another program (picocom, process 12)"},
       {"No permission"}},
      {{Kind::Busy}, 1, "/dev/ttyS0", {"in use by another program. Close"}, {"()"}},
      {{Kind::Unreachable, "Connection refused"},
       1,
       "tcp://[::1]:4000",
       {"COM1 (tcp://[::1]:4000) could not be reached: Connection refused.", "tried again"},
       {}},
      {{Kind::Invalid, "is not a valid address: name it so."},
       2,
       "tcp://x",
       {"COM2 (tcp://x) is not a valid address: name it so."},
       {"could not be opened"}},
      {{Kind::Other, "Device or resource busy"},
       2,
       "/dev/ttyS1",
       {"COM2 (/dev/ttyS1) could not be opened: Device or resource busy."},
       {"in use by another program"}},
      {{Kind::Other}, 1, "/dev/ttyS0", {"could not be opened: unknown error."}, {}},
      {{Kind::Lost}, 2, "/dev/ttyUSB0", {"COM2 (/dev/ttyUSB0) was disconnected", "reopened"}, {}},
  };
  for (const Case& c : cases) {
    const std::string text = panel::DescribeOpenFailure(c.failure, c.port, c.path);
    for (const std::string& part : c.present) {
      EXPECT_TRUE(Contains(text, part)) << '"' << part << "\" missing from: " << text;
    }
    for (const std::string& part : c.absent) {
      EXPECT_FALSE(Contains(text, part)) << '"' << part << "\" unexpected in: " << text;
    }
  }
}

}  // namespace
}  // namespace mero::link
