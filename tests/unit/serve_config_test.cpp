// The service's configuration file: what it may say, how it is read, and how a mistake is told.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "serve/config_keys.h"
#include "serve/config_text.h"
#include "serve/qt_config.h"

namespace mero::serve {
namespace {

const std::string kProjector = "[a]\naddress = /dev/ttyS0\n";

// A projector's section with more lines; they start on line 3.
std::string WithProjector(const std::string& lines) { return kProjector + lines; }

// What --check's parse of `text` gives: the value of `key` in [service] or in the last
// projector, or the mistake (where no key is named).
std::string Gives(const std::string& text, std::string_view key) {
  const ConfigResult result = ParseConfig("f", text);
  if (!result.config) return result.error;
  const ServiceConfig& config = *result.config;
  if (key.empty()) return "no mistake";
  for (const SectionKind kind : {SectionKind::Service, SectionKind::Projector}) {
    if (const ConfigKey* found = FindConfigKey(kind, key)) {
      return ValueText(*found, config, config.projectors.back());
    }
  }
  return "no key " + std::string(key);
}

TEST(ServeConfig, WhatEachTextGives) {
  struct Row {
    std::string text;
    std::string_view key;
    std::string gives;
  };
  const std::string tooMany = [] {
    std::string text;
    for (std::size_t i = 0; i <= kMostProjectors; ++i) {
      text += "[p" + std::to_string(i) + "]\naddress = /dev/p" + std::to_string(i) + "\n";
    }
    return text;
  }();
  const std::string afterQuote = "text after the closing quote; quotes enclose the whole value";
  const std::string heading = "a section heading is \"[NAME]\" alone on its line";
  const std::string pollBound =
      "is not a whole number from 5 to 86400 (seconds between two status polls of a projector)";
  const std::string nameBound =
      "f:3: name: takes 1 to 64 bytes of printable text (what PJLink's NAME ? answers)";
  const std::string passwordBound =
      "f:3: password: takes at most 32 bytes of printable ASCII (PJLink's password; without one, "
      "no authentication)";
  const std::string pjlinkBound =
      "is not [ADDRESS:]PORT or [IPV6]:PORT (where PJLink controllers connect)";
  const std::string addressBound =
      "is neither a device path nor tcp://HOST:PORT or rfc2217://HOST:PORT (the projector's "
      "serial line)";
  const std::vector<Row> rows = {
      // A value is what is written, quotes and backslashes included.
      {WithProjector("password = pa\\ss\n"), "password", "pa\\ss"},
      {WithProjector("name = Hall \"B\", left\n"), "name", "Hall \"B\", left"},
      {WithProjector(" \tname\t=  Hall A \t\n"), "name", "Hall A"},
      {WithProjector("name = a=b\r\n"), "name", "a=b"},
      // A comment starts at ';' or '#' with a blank before it, or at the line's start.
      {WithProjector("password = av;te#am\n"), "password", "av;te#am"},
      {WithProjector("password = av ;team\n"), "password", "av"},
      {WithProjector("password = av\t# team\n"), "password", "av"},
      {WithProjector("password = ; none\n"), "password", ""},
      {"; c\n  # c\n[a] ; c\naddress = /dev/ttyS0 ; c\n", "address", "/dev/ttyS0"},
      // Quotes enclose a whole value; \" and \\ are their only escapes.
      {WithProjector("name = \" Hall ; B \"  ; c\n"), "name", " Hall ; B "},
      {WithProjector("name = \"say \\\"B\\\" \\\\ C\"\n"), "name", "say \"B\" \\ C"},
      {WithProjector("password = \"\"\n"), "password", ""},
      {WithProjector("name = \"B\" left\n"), "name", "f:3: name: " + afterQuote},
      {WithProjector("name = \"B\";c\n"), "name", "f:3: name: " + afterQuote},
      {WithProjector("name = \"Hall B\n"), "name",
       "f:3: name: the quote is not closed on its line"},
      {WithProjector("name = \"a\\b\"\n"), "name",
       "f:3: name: \\b in quotes: the escapes are \\\" and \\\\, a backslash is written \\\\"},
      // Lines that are none of heading, entry or comment.
      {WithProjector("this line is no key\n"), "name",
       "f:3: not a section heading, a \"key = value\" or a comment"},
      {WithProjector("[b\n"), "name", "f:3: " + heading},
      {WithProjector("[b] c\n"), "name", "f:3: " + heading},
      {WithProjector(" = x\n"), "name", "f:3: a value without its key"},
      // Twice is a mistake; the same key in two sections is not.
      {WithProjector("speed = 9600\nspeed = 9600\n"), "speed",
       "f:4: speed: again in its section; it first stands on line 3"},
      {kProjector + "[a]\n", "name", "f:3: section [a] again; it first stands on line 1"},
      {kProjector + "[b]\naddress = /dev/ttyS1\npjlink = 4353\n", "pjlink", "127.0.0.1:4353"},
      // Each key's bounds, just in and just out.
      {"[service]\npoll-interval = 5\n" + kProjector, "poll-interval", "5"},
      {"[service]\npoll-interval = 86400\n" + kProjector, "poll-interval", "86400"},
      {"[service]\npoll-interval = 4\n" + kProjector, "", "f:2: poll-interval: \"4\" " + pollBound},
      {"[service]\npoll-interval = 86401\n" + kProjector, "",
       "f:2: poll-interval: \"86401\" " + pollBound},
      {"[service]\nmetrics = off\n" + kProjector, "metrics", "off"},
      {"[service]\nmetrics = [::1]:65535\n" + kProjector, "metrics", "[::1]:65535"},
      {"[service]\nmetrics = 65536\n" + kProjector, "",
       "f:2: metrics: \"65536\" is not [ADDRESS:]PORT, [IPV6]:PORT or off (where Prometheus "
       "scrapes /metrics)"},
      {WithProjector("speed = 9600\n"), "speed", "9600"},
      {WithProjector("speed = 115200\n"), "",
       "f:3: speed: \"115200\" is not 19200 or 9600 (the projector's line speed)"},
      {WithProjector("name = " + std::string(64, 'n') + "\n"), "name", std::string(64, 'n')},
      {WithProjector("name = Saal \xc3\xa9\n"), "name", "Saal \xc3\xa9"},
      {WithProjector("name = " + std::string(65, 'n') + "\n"), "", nameBound},
      {WithProjector("name =\n"), "", nameBound},
      {WithProjector("name = a\tb\n"), "", nameBound},
      {WithProjector("password = " + std::string(32, 'p') + "\n"), "password",
       std::string(32, 'p')},
      {WithProjector("password = " + std::string(33, 'p') + "\n"), "", passwordBound},
      {WithProjector("password = \xc3\xa9\n"), "", passwordBound},
      {WithProjector("pjlink = 1\n"), "pjlink", "127.0.0.1:1"},
      {WithProjector("pjlink = 0\n"), "", "f:3: pjlink: \"0\" " + pjlinkBound},
      {WithProjector("pjlink = localhost:4352\n"), "",
       "f:3: pjlink: \"localhost:4352\" is not [ADDRESS:]PORT or [IPV6]:PORT: ADDRESS is an IP "
       "literal such as 127.0.0.1 or 0.0.0.0, not a host name (where PJLink controllers connect)"},
      {"[service]\nmetrics = example.org:80\n" + kProjector, "",
       "f:2: metrics: \"example.org:80\" is not [ADDRESS:]PORT, [IPV6]:PORT or off: ADDRESS is an "
       "IP literal such as 127.0.0.1 or 0.0.0.0, not a host name (where Prometheus scrapes "
       "/metrics)"},
      {WithProjector("pjlink = [::ffff:127.0.0.1]:4352\n"), "",
       "f:3: pjlink: \"[::ffff:127.0.0.1]:4352\" is not [ADDRESS:]PORT or [IPV6]:PORT: no socket "
       "listens on an IPv4 address written as IPv6 (where PJLink controllers connect)"},
      {WithProjector("password-file = /etc/mero-control/a\n"), "password-file",
       "/etc/mero-control/a"},
      {WithProjector("password-file = a.password\n"), "",
       "f:3: password-file: \"a.password\" is not an absolute path (a file whose first line is "
       "PJLink's password)"},
      {WithProjector("password-credential = hall-a.pw\n"), "password-credential", "hall-a.pw"},
      {WithProjector("password-credential = ../a\n"), "",
       "f:3: password-credential: takes at most 64 letters, digits, '-', '_' or '.' (the systemd "
       "credential that holds PJLink's password)"},
      {"[a]\naddress = rfc2217://[::1]:7001\n", "address", "rfc2217://[::1]:7001"},
      {"[a]\naddress = ttyS0\n", "", "f:2: address: \"ttyS0\" " + addressBound},
      {"[a]\naddress = tcp://host\n", "", "f:2: address: \"tcp://host\" " + addressBound},
      {tooMany, "", "f:2001: more than 1000 projectors"},
      // Keys and sections that are not, or are missing.
      {WithProjector("speeed = 9600\n"), "",
       "f:3: speeed: is not a key of a projector (address, speed, name, pjlink, maintenance, "
       "password, "
       "password-file, password-credential)"},
      {"[service]\nname = x\n" + kProjector, "",
       "f:2: name: is not a key of [service] (metrics, poll-interval, token-file, "
       "token-credential)"},
      {"[hall a]\naddress = /dev/ttyS0\n", "",
       "f:1: [hall a]: a section is named with 1 to 64 letters, digits, '-', '_' or '.'"},
      {"address = /dev/ttyS0\n" + kProjector, "",
       "f:1: address: stands before any section; it belongs in [service] or a projector's "
       "section"},
      {"[a]\nname = A\n", "", "f:1: address: [a] has no address"},
      {"[a]\n[b]\naddress = /dev/ttyS0\n", "", "f:1: address: [a] has no address"},
      {"[service]\npoll-interval = 60\n", "",
       "f:1: names no projector: give each a section with its address"},
  };
  for (const Row& row : rows) EXPECT_EQ(Gives(row.text, row.key), row.gives) << row.text;
}

// A projector's section of two lines: its device, and its PJLink address unless empty.
std::string Section(const std::string& id, const std::string& address,
                    const std::string& pjlink = {}) {
  return "[" + id + "]\naddress = " + address + "\n" +
         (pjlink.empty() ? "" : "pjlink = " + pjlink + "\n");
}

// What the service would start and then fail on, or take a device from itself: each refused
// where it stands, naming where the other stands.
TEST(ServeConfig, WhatCannotRunTogetherIsRefusedNamingBothPlaces) {
  const QTemporaryDir dir;
  const std::string folder = dir.path().toStdString();
  const std::string device = folder + "/ttyUSB0";
  const std::string link = folder + "/usb-FTDI-if00";
  std::ofstream(device) << "";
  std::filesystem::create_symlink(device, link);
  const std::string wildcard = "a wildcard address takes every address of its family on its port";
  const std::string metricsOff = "[service]\nmetrics = off\n";
  struct Row {
    std::string text;
    std::string gives;
  };
  const std::vector<Row> rows = {
      // Listening: one address, a wildcard over an address of its family, or one address
      // written two ways. [::] is IPv6 alone, so it shares a port with 0.0.0.0.
      {Section("a", "/dev/ttyS0") + Section("b", "/dev/ttyS1"),
       "f:3: pjlink: [b] listens where [a] does (by default, section on line 1)"},
      {metricsOff + Section("a", "/dev/ttyS0", "127.0.0.1:4352") +
           Section("b", "/dev/ttyS1", "0.0.0.0:4352"),
       "f:8: pjlink: [b] listens on 0.0.0.0:4352, [a] on 127.0.0.1:4352 (line 5): " + wildcard},
      {metricsOff + Section("a", "/dev/ttyS0", "0.0.0.0:4352") +
           Section("b", "/dev/ttyS1", "192.0.2.5:4352"),
       "f:8: pjlink: [b] listens on 192.0.2.5:4352, [a] on 0.0.0.0:4352 (line 5): " + wildcard},
      {metricsOff + Section("a", "/dev/ttyS0", "[::]:4352") +
           Section("b", "/dev/ttyS1", "[::1]:4352"),
       "f:8: pjlink: [b] listens on [::1]:4352, [a] on [::]:4352 (line 5): " + wildcard},
      {metricsOff + Section("a", "/dev/ttyS0", "[::1]:4352") +
           Section("b", "/dev/ttyS1", "[0:0::1]:4352"),
       "f:8: pjlink: [b] listens on [0:0::1]:4352, [a] on [::1]:4352 (line 5): one address "
       "written two ways"},
      {metricsOff + Section("a", "/dev/ttyS0", "[::]:4352") +
           Section("b", "/dev/ttyS1", "0.0.0.0:4352"),
       "no mistake"},
      {metricsOff + Section("a", "/dev/ttyS0", "[::]:4352") +
           Section("b", "/dev/ttyS1", "127.0.0.1:4352"),
       "no mistake"},
      {metricsOff + Section("a", "/dev/ttyS0", "0.0.0.0:4352") +
           Section("b", "/dev/ttyS1", "0.0.0.0:4353"),
       "no mistake"},
      {"[service]\nmetrics = 0.0.0.0:4352\n" + Section("a", "/dev/ttyS0"),
       "f:3: pjlink: [a] listens on 127.0.0.1:4352, the metrics on 0.0.0.0:4352 (line 2): " +
           wildcard},
      {Section("a", "/dev/ttyS0", "0.0.0.0:9470"),
       "f:3: pjlink: [a] listens on 0.0.0.0:9470, the metrics on 127.0.0.1:9470 (by default): " +
           wildcard},
      // Devices: a link and what it leads to, a device server however it is reached.
      {Section("a", device, "4352") + Section("b", link, "4353"),
       "f:5: address: [b] names the device of [a] (line 2): " + link + " and " + device +
           " are one"},
      {Section("a", "/dev/ttyS0", "4352") + Section("b", "/dev/ttyS0", "4353"),
       "f:5: address: [b] names the device of [a] (line 2)"},
      {Section("a", "tcp://Ser2net:7001", "4352") + Section("b", "rfc2217://ser2net:7001", "4353"),
       "f:5: address: [b] names the device of [a] (line 2): rfc2217://ser2net:7001 and "
       "tcp://Ser2net:7001 are one"},
      {Section("a", "tcp://[::1]:7001", "4352") + Section("b", "tcp://[0::1]:7001", "4353"),
       "f:5: address: [b] names the device of [a] (line 2): tcp://[0::1]:7001 and "
       "tcp://[::1]:7001 are one"},
      {Section("a", "tcp://ser2net:7001", "4352") + Section("b", "tcp://ser2net:7002", "4353"),
       "no mistake"},
      {Section("a", folder + "/gone", "4352") + Section("b", folder + "/gone2", "4353"),
       "no mistake"},
      // A section given twice.
      {Section("a", "/dev/ttyS0") + "[service]\n" + Section("a", "/dev/ttyS1"),
       "f:4: section [a] again; it first stands on line 1"},
      {"[service]\n[service]\n" + Section("a", "/dev/ttyS0"),
       "f:2: section [service] again; it first stands on line 1"},
      // A password from one place only; an empty value gives none.
      {WithProjector("password = x\npassword-file = /p\n"),
       "f:4: password-file: [a] has its password from password on line 3; give one of password, "
       "password-file and password-credential"},
      {WithProjector("password-credential = c\npassword = x\n"),
       "f:4: password: [a] has its password from password-credential on line 3; give one of "
       "password, password-file and password-credential"},
      {WithProjector("password =\npassword-file = /p\n"), "no mistake"},
      {"[service]\ntoken-credential = t\ntoken-file = /t\n" + Section("a", "/dev/ttyS0"),
       "f:3: token-file: the token is given on line 2; give one of token-file and "
       "token-credential"},
  };
  for (const Row& row : rows) EXPECT_EQ(Gives(row.text, ""), row.gives) << row.text;
}

// Left-out keys take their defaults, and a projector without a name is named by its section.
TEST(ServeConfig, CheckTellsEachProjectorThenTheServiceButNoPassword) {
  const ConfigResult result = ParseConfig(
      "f",
      "[service]\nmetrics = off\n[hall-a]\naddress = /dev/ttyUSB0\nname = \" Hall ; A\"\n"
      "password = JBMIAProjectorLink\n[b]\naddress = tcp://ser2net:7001\nspeed = 9600\n"
      "pjlink = [::]:4353\n");
  ASSERT_TRUE(result.config) << result.error;
  EXPECT_EQ(DescribeConfig(*result.config),
            "[hall-a]\n  address = /dev/ttyUSB0\n  speed = 19200\n  name = \" Hall ; A\"\n"
            "  pjlink = 127.0.0.1:4352\n  maintenance = off\n  password: set\n"
            "[b]\n  address = tcp://ser2net:7001\n  speed = 9600\n  name = b\n"
            "  pjlink = [::]:4353\n  maintenance = off\n  password: none\n"
            "[service]\n  metrics = off\n  poll-interval = 60\n");
}

TEST(ServeConfig, AValueIsQuotedOnlyWhenItWouldNotReadBackAsItself) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"", ""},
      {"a;b#c", "a;b#c"},
      {"Hall \"B\"", "Hall \"B\""},
      {"a ;b", "\"a ;b\""},
      {"a\t#b", "\"a\t#b\""},
      {";a", "\";a\""},
      {" a", "\" a\""},
      {"\"B\" \\", "\"\\\"B\\\" \\\\\""},
  };
  for (const auto& [value, written] : rows) {
    EXPECT_EQ(QuotedIfNeeded(value), written);
    const IniLine read = ReadIniLine("k = " + written);
    EXPECT_EQ(read.kind, IniLine::Kind::Entry) << written;
    EXPECT_EQ(read.value, value) << written;
  }
}

std::string SourceFile(const std::string& path) {
  std::ifstream file(std::string(MERO_SOURCE_DIR) + "/" + path);
  EXPECT_TRUE(file) << path;
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::string Unescaped(std::string roff) {
  for (const auto& [escape, text] : {std::pair{"\\-", "-"}, {"\\(dq", "\""}, {"\\e", "\\"}}) {
    for (auto at = roff.find(escape); at != std::string::npos; at = roff.find(escape, at)) {
      roff.replace(at, std::string_view(escape).size(), text);
      ++at;
    }
  }
  return roff;
}

// The shipped file shows each key with its default as a commented-out example, and taken in
// they make a file of one projector; the manual page explains each key, and its example is valid.
TEST(ServeConfigFiles, TheShippedFileAndTheManualPageShowEachKey) {
  const std::string shipped = SourceFile("data/serve.conf");
  const std::string page = Unescaped(SourceFile("data/man/mero-control-serve.conf.5.in"));
  for (const ConfigKey& key : ConfigKeys()) {
    const std::string name(key.name);
    EXPECT_NE(shipped.find("\n;" + name + " = " + std::string(key.fallback)), std::string::npos)
        << name;
    EXPECT_NE(page.find(".BI \"" + name + " = \""), std::string::npos) << name;
  }
  EXPECT_EQ(ParseConfig("f", shipped).error,
            "f:1: names no projector: give each a section with its address");
  std::string takenIn;
  std::string example;
  std::istringstream shippedLines(shipped);
  for (std::string line; std::getline(shippedLines, line);) {
    // Of a secret's sources the first stands for the others: each is given once.
    const bool otherSource =
        line.starts_with(";password-") || line.starts_with(";token-credential");
    if (std::regex_match(line, std::regex(R"(;(\[[a-z-]+\]|[a-z-]+ = .*))")) && !otherSource) {
      takenIn += line.substr(1) + "\n";
    }
  }
  std::istringstream pageLines(page.substr(page.find(".SH EXAMPLE")));
  for (std::string line; std::getline(pageLines, line) && line != ".fi";) {
    if (!line.starts_with('.') && !example.empty()) example += line + "\n";
    if (line == ".nf") example = "\n";
  }
  for (const auto& [text, projectors] : {std::pair{takenIn, 1U}, {example, 3U}}) {
    const ConfigResult read = ParseConfig("f", text);
    ASSERT_TRUE(read.config) << read.error << "\n" << text;
    EXPECT_EQ(read.config->projectors.size(), projectors);
  }
}

TEST(ServeConfigFiles, OnlyARegularFileOfBoundedSizeIsRead) {
  const QTemporaryDir dir;
  const std::string folder = dir.path().toStdString();
  const std::string path = folder + "/serve.conf";
  EXPECT_EQ(ReadConfigFile("/dev/zero").error, "/dev/zero: not a regular file");
  EXPECT_EQ(ReadConfigFile(folder).error, folder + ": not a regular file");
  EXPECT_NE(ReadConfigFile(path).error.find("No such file"), std::string::npos);
  const std::string head = kProjector + "; ";
  std::ofstream(path) << head << std::string(kLongestConfigFile - head.size(), 'x');
  EXPECT_TRUE(ReadConfigFile(path).config) << "a file of just the bound is read";
  std::ofstream(path) << head << std::string(kLongestConfigFile - head.size() + 1, 'x');
  EXPECT_EQ(ReadConfigFile(path).error, path + ": larger than 1 MiB, which no configuration is");
}

}  // namespace
}  // namespace mero::serve
