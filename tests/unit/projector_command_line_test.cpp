#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "projector/command_line.h"

namespace mero::vp {
namespace {

using Args = std::vector<std::string_view>;
using Action = CommandLine::Action;

TEST(ProjectorCommandLine, ValuesInEitherFormTheLastOneCounting) {
  const CommandLine line =
      ParseCommandLine(Args{"--count", "3", "--link=/tmp/p", "--warm-up", "0", "--cool-down=7",
                            "--reply-delay", "250", "--baud", "1000", "--count=4"});
  EXPECT_EQ(line.error, "");
  EXPECT_EQ(line.count, 4);
  EXPECT_EQ(line.server.linkPath, "/tmp/p");
  EXPECT_EQ(line.server.projector.warmUpMs, 0);
  EXPECT_EQ(line.server.projector.coolDownMs, 7);
  EXPECT_EQ(line.server.replyDelay, std::chrono::milliseconds(250));
  EXPECT_EQ(line.server.baud, 1000);  // pacing alone may be at any rate

  const CommandLine device = ParseCommandLine(Args{"--device", "/dev/ttyUSB1", "--baud=9600"});
  EXPECT_EQ(device.action, Action::Run) << device.error;
  EXPECT_EQ(device.server.devicePath, "/dev/ttyUSB1");
  EXPECT_EQ(device.server.baud, 9600);
}

// The log is one file for every projector; each server gets its own number in main.
TEST(ProjectorCommandLine, CommandLogIsAPathAndOptional) {
  EXPECT_EQ(ParseCommandLine(Args{"--count", "3"}).commandLog, "");
  const CommandLine line = ParseCommandLine(Args{"--count", "3", "--command-log", "/tmp/c.log"});
  EXPECT_EQ(line.action, Action::Run) << line.error;
  EXPECT_EQ(line.commandLog, "/tmp/c.log");
  EXPECT_EQ(ParseCommandLine(Args{"--command-log=/tmp/d.log"}).commandLog, "/tmp/d.log");
  const CommandLine empty = ParseCommandLine(Args{"--command-log="});
  EXPECT_EQ(empty.action, Action::Error);
  EXPECT_EQ(empty.error, "--command-log needs a path");
  EXPECT_NE(UsageText().find("--command-log FILE"), std::string::npos);
  // Whatever arrives, a command stays on its own line and the tab stays the separator.
  EXPECT_EQ(CommandLogLine(1700000000123, 3, "C0\\9\t\n\x7F"),
            "1700000000123\t3\tC0\\x5C9\\x09\\x0A\\x7F\n");
}

TEST(ProjectorCommandLine, MistakesAreNamedAsTyped) {
  const struct {
    Args args;
    std::string_view error;
  } cases[] = {
      {{"--bogus=1"}, "unknown option --bogus; see mero-virtual-projector --help"},
      {{"-count", "2"}, "unknown option -count; see mero-virtual-projector --help"},
      {{"--count", "-5"}, "--count takes a whole number from 1 to 256, not -5"},
      {{"--count", "257"}, "--count takes a whole number from 1 to 256, not 257"},
      {{"--count="}, "--count takes a whole number from 1 to 256, not \"\""},
      {{"--warm-up", "5s"},
       "--warm-up takes a whole number of milliseconds from 0 to 3600000, not 5s"},
      {{"--baud", "0"}, "--baud takes a whole number from 1 to 4000000, not 0"},
      {{"--warm-up", "10", "--link"}, "--link needs a value; see mero-virtual-projector --help"},
      {{"--device="}, "--device needs a path"},
      {{"--help=yes"}, "--help takes no value; see mero-virtual-projector --help"},
      {{"--", "--count"}, "unexpected argument --count; see mero-virtual-projector --help"},
      {{"--device", "/dev/ttyUSB1", "--count", "2"},
       "--count cannot go with --device: a device is one projector"},
      {{"--baud", "1000", "--device", "/dev/ttyUSB1"},
       "--baud with --device takes a speed a serial line has, such as 9600 or 19200, not 1000"},
  };
  for (const auto& c : cases) {
    const CommandLine line = ParseCommandLine(c.args);
    EXPECT_EQ(line.action, Action::Error) << c.error;
    EXPECT_EQ(line.error, c.error);
  }
}

// As the panel does: a word that cannot be read stops everything, while help and version go
// before the values are judged.
TEST(ProjectorCommandLine, HelpAndVersionGoFirstButNotPastAnUnknownWord) {
  const struct {
    Args args;
    Action action;
  } cases[] = {
      {{"--count", "-5", "--help"}, Action::Help},
      {{"--version", "-h"}, Action::Help},
      {{"-v", "--device", "/dev/ttyUSB1", "--count", "9"}, Action::Version},
      {{"--bogus", "--help"}, Action::Error},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseCommandLine(c.args).action, c.action);
}

TEST(ProjectorCommandLine, UsageNamesTheInstalledProgram) {
  EXPECT_TRUE(UsageText().starts_with("Usage: mero-virtual-projector [options]\n"));
}

}  // namespace
}  // namespace mero::vp
