// Address lists as files give them, with their bounds, and addresses that lead to one
// projector.

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <string>
#include <vector>

#include "cli/addresses.h"

namespace mero::cli {
namespace {

using namespace std::string_literals;
using Addresses = std::vector<std::string>;

AddressReader ReadWhole(std::string_view content) {
  AddressReader reader("list");
  reader.feed(content);
  reader.finish();
  return reader;
}

std::string Lines(std::size_t count, std::string_view line) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) (out += line) += '\n';
  return out;
}

TEST(CliAddresses, AFileIsReadLineByLineWithinItsBounds) {
  const std::string longest(kLongestAddressLine, 'a');
  const struct {
    const char* what;
    std::string content;
    Addresses addresses;
    std::string error;  // the start of it; empty: none
  } cases[] = {
      {"comments anywhere, blanks and CRs around",
       "# hall 2\r\n  /dev/a \t# stage\r\n\n#\n/dev/b#c\ntcp://h:1",
       {"/dev/a", "/dev/b", "tcp://h:1"},
       ""},
      {"empty", "", {}, ""},
      {"the longest line", longest + "\n", {longest}, ""},
      {"a line too long",
       "/dev/a\n" + longest + "b\n",
       {},
       "the addresses in list: line 2 is longer than 1024 bytes"},
      {"a comment counts in the length",
       "/dev/a # " + longest + "\n",
       {},
       "the addresses in list: line 1 is longer"},
      {"the most lines", Lines(kMostAddressLines - 1, "") + "/dev/a", {"/dev/a"}, ""},
      {"a line too many",
       Lines(kMostAddressLines, "#") + "/dev/a",
       {},
       "the addresses in list: it has more than 10000 lines"},
      {"a zero byte", "/dev/a\n/dev/\0b\n"s, {}, "the addresses in list: line 2 holds a zero byte"},
      {"an unknown scheme",
       "/dev/a\ntelnet://h:23\n",
       {},
       "the addresses in list: line 2: telnet://h:23 has the unknown scheme"},
      {"a network address that does not parse",
       "rfc2217://h\n",
       {},
       "the addresses in list: line 1: rfc2217://h is not a valid address"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const AddressReader whole = ReadWhole(c.content);
    EXPECT_EQ(whole.addresses(), c.addresses);
    EXPECT_EQ(whole.error().substr(0, c.error.size()), c.error) << whole.error();
    EXPECT_EQ(whole.error().empty(), c.error.empty()) << whole.error();
    // A read may end anywhere, in a line or between a CR and its line feed.
    AddressReader bytewise("list");
    for (const char byte : c.content) bytewise.feed(std::string_view(&byte, 1));
    bytewise.finish();
    EXPECT_EQ(bytewise.addresses(), whole.addresses());
    EXPECT_EQ(bytewise.error(), whole.error());
  }
}

// A file without end is refused at its first bound, not read whole.
TEST(CliAddresses, AFileWithoutEndIsRefusedAtItsFirstBound) {
  const AddressReader zeros = ReadAddressFile("/dev/zero");
  EXPECT_EQ(zeros.error(),
            "the addresses in /dev/zero: line 1 holds a zero byte: it is no list "
            "of addresses");
  const AddressReader absent = ReadAddressFile("/nonexistent/list");
  EXPECT_EQ(absent.error(),
            "the addresses in /nonexistent/list: cannot be read: No such file or "
            "directory");
  QTemporaryDir dir;
  const AddressReader folder = ReadAddressFile(dir.path().toStdString());
  EXPECT_NE(folder.error().find("cannot be read: Is a directory"), std::string::npos)
      << folder.error();
}

TEST(CliAddresses, OneProjectorNamedTwoWaysIsAskedOnce) {
  QTemporaryDir dir;
  const std::string device = dir.filePath("ttyMERO").toStdString();
  const std::string link = dir.filePath("projector").toStdString();
  ASSERT_TRUE(QFile(QString::fromStdString(device)).open(QIODevice::WriteOnly));
  ASSERT_TRUE(QFile::link(QString::fromStdString(device), QString::fromStdString(link)));

  const DistinctAddresses distinct = Distinct(
      {device, "tcp://Hall.example:7000", link, "/nonexistent/a", "tcp://hall.EXAMPLE:7000",
       "rfc2217://hall.example:7000", "tcp://hall.example:7001", "/nonexistent/a"});
  EXPECT_EQ(distinct.kept, (Addresses{device, "tcp://Hall.example:7000", "/nonexistent/a",
                                      "rfc2217://hall.example:7000", "tcp://hall.example:7001"}));
  EXPECT_EQ(distinct.notes,
            (Addresses{link + " is the same projector as " + device + ": asked once, as " + device,
                       "tcp://hall.EXAMPLE:7000 is the same projector as tcp://Hall.example:7000: "
                       "asked once, as tcp://Hall.example:7000",
                       "/nonexistent/a is named more than once: asked once"}));
}

}  // namespace
}  // namespace mero::cli
