// The headless command lines, and the commands and reply windows they take from the keys'
// tables, checked against what the window's form sends for the same key.

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "cli/plain_text.h"
#include "cli/request.h"
#include "link/protocol/reply_decoding.h"
#include "panel/bindings.h"
#include "rig.h"

namespace mero::cli {
namespace {

using Args = std::vector<std::string_view>;

// A name sends what the window sends for it, through its key or the command entry, and waits
// as long as the window's reply window is after that click.
void ExpectTheWindowsCommand(const Args& args, const std::function<void(test::Rig&)>& click) {
  test::Rig rig;
  click(rig);
  Args named = args;
  named.push_back("/dev/ttyUSB0");
  const Request request = ParseRequest(named);
  ASSERT_EQ(request.error, "");
  EXPECT_EQ(rig.takeSent(), std::vector<link::Bytes>{request.message.text});
  EXPECT_EQ(rig.timer2.interval(), request.message.replyWindowMs);
}

TEST(CliRequest, NamesSendWhatTheWindowSendsAndWaitItsReplyWindow) {
  for (const link::OneShotCommand& command : link::OneShotCommands()) {
    SCOPED_TRACE(command.name);
    const panel::OneShotBinding* key = panel::FindOneShotKey(command.name);
    ASSERT_NE(key, nullptr);
    ExpectTheWindowsCommand({"send", command.name},
                            [&](test::Rig& rig) { rig.form.Click(key->control); });
  }
  std::set<std::string_view> codes;
  for (const link::StatusQuery& query : link::StatusQueries()) {
    SCOPED_TRACE(query.name);
    codes.insert(query.code);
    const panel::OneShotBinding* key =
        query.command != nullptr ? panel::FindOneShotKey(query.command->name) : nullptr;
    ASSERT_EQ(key != nullptr, query.command != nullptr);
    ExpectTheWindowsCommand({"query", query.name}, [&](test::Rig& rig) {
      if (key != nullptr) return rig.form.Click(key->control);
      rig.surface.entry = query.code;
      rig.form.Click("Command95");  // "SEND"
    });
  }
  const auto decoded = link::DecodedQueries();
  EXPECT_EQ(codes, std::set<std::string_view>(decoded.begin(), decoded.end()));
}

// --raw reads the escapes Escaped writes, adds the CR the command entry adds unless the text
// ends with its own, and refuses what it cannot read or what is longer than a command can be.
TEST(CliRequest, RawTextTakesTheCommonEscapes) {
  const std::string longest(kLongestRaw - 1, 'A');
  const struct {
    std::string raw;
    link::Bytes sent;  // empty: refused
    std::string_view error;
  } cases[] = {
      {"CF LOGO OFF", "CF LOGO OFF\r", ""},
      {"C00\\r", "C00\r", ""},
      {"A\\x06\\x7f\\\\B", "A\x06\x7f\\B\r", ""},
      {"X\\nY\\tZ", "X\nY\tZ\r", ""},
      {longest, longest + "\r", ""},
      {longest + "A", "", "--raw: the text is 1025 bytes with its CR; at most 1024"},
      {"C00\\q", "", "--raw: unknown escape \\q"},
      {"C00\\x6", "", "--raw: \\x takes two hexadecimal digits"},
      {"C00\\x6g", "", "--raw: \\x takes two hexadecimal digits"},
      {"C00\\", "", "--raw: a lone \\ at the end"},
      {"\\r", "", "--raw needs a text to send"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.raw);
    const Request request = ParseRequest(Args{"send", "--raw", c.raw, "/dev/x"});
    EXPECT_EQ(request.error.substr(0, c.error.size()), c.error);
    if (!c.sent.empty()) {
      EXPECT_EQ(request.message.text, c.sent);
    }
  }
}

TEST(CliRequest, ListsAsJsonAreJsonOfTheSameNames) {
  for (const Command command : {Command::Query, Command::Send}) {
    const QList<QByteArray> text = QByteArray::fromStdString(ListText(command, false)).split('\n');
    const QList<QByteArray> json = QByteArray::fromStdString(ListText(command, true)).split('\n');
    ASSERT_EQ(json.size(), text.size());
    for (qsizetype i = 0; i + 1 < json.size(); ++i) {
      QJsonParseError error{};
      const QJsonObject object = QJsonDocument::fromJson(json[i], &error).object();
      ASSERT_EQ(error.error, QJsonParseError::NoError) << json[i].toStdString();
      const QList<QByteArray> fields = text[i].split('\t');
      EXPECT_EQ(object["name"].toString().toLatin1(), fields[0]);
      EXPECT_EQ(Escaped(object["sent"].toString().toLatin1().toStdString()),
                fields[1].toStdString());
    }
  }
}

TEST(CliRequest, AddressesInOrderAndMistakesNamed) {
  const Request request = ParseRequest(
      Args{"query", "lamp-hours", "/dev/a", "--speed=9600", "/tmp/caf\xe9", "--com1=/dev/c"});
  EXPECT_EQ(request.addresses, (std::vector<std::string>{"/dev/c", "/dev/a", "/tmp/caf\xe9"}));
  EXPECT_EQ(request.settings, (link::LineSettings{9600}));
  EXPECT_EQ(ParseRequest(Args{"send", "power-off"}).error,
            "no projector is named: give its address (a device such as /dev/ttyUSB0, or "
            "tcp://HOST:PORT), --com1 DEVICE or --addresses FILE; nothing was sent");

  QTemporaryDir dir;
  const auto file = [&](const char* name, const QByteArray& content) {
    QFile out(dir.filePath(name));
    EXPECT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(content);
    return dir.filePath(name).toStdString();
  };
  const std::string empty = file("empty", "");
  const std::string comments = file("comments", "# hall 2\n\n   # stage\r\n");
  const std::string two = file("two", "/dev/b # stage\n/dev/c\n");
  // The addresses of the file come after those of the command line.
  EXPECT_EQ(ParseRequest(Args{"send", "power-on", "/dev/a", "--addresses", two}).addresses,
            (std::vector<std::string>{"/dev/a", "/dev/b", "/dev/c"}));
  // A file that names nothing is no licence to fall back on the first port found.
  EXPECT_EQ(ParseRequest(Args{"send", "power-on", "/dev/a", "--addresses", empty}).addresses,
            std::vector<std::string>{"/dev/a"});

  const std::pair<Args, std::string> mistakes[] = {
      {{"quer", "status"}, "unknown command \"quer\" (did you mean query?)"},
      {{"query"}, "query needs the name of a status query; mero-control query --list"},
      {{"query", "power-on"}, "\"power-on\" is a key, not a status query: mero-control send"},
      {{"send", "lamp-mode"}, "\"lamp-mode\" is a status query, not a key: mero-control query"},
      {{"query", "stauts"}, "no status query is called \"stauts\" (did you mean status?)"},
      {{"send", "power-off", "--addresses", empty}, empty + " names no address"},
      {{"query", "status", "--addresses", comments}, comments + " names no address"},
      {{"query", "status", "telnet://hall:23"},
       "telnet://hall:23 has the unknown scheme telnet://: an address is a device such as "
       "/dev/ttyUSB0, tcp://HOST:PORT or rfc2217://HOST:PORT (telnet with"},
      {{"query", "status", "--com1", "tcp://hall"}, "tcp://hall is not a valid address"},
      {{"query", "status", "--raw", "X"}, "unknown option --raw; see mero-control query --help"},
      {{"query", "status", "--speed", "4800"}, "--speed is 19200 or 9600, not 4800"},
      {{"send", "power-on", "--log", ""}, "--log needs a file"},
      {{"query", "status", "--addresses", "/nonexistent/list"},
       "the addresses in /nonexistent/list: cannot be read: No such file"},
  };
  for (const auto& [args, error] : mistakes) {
    const std::string got = ParseRequest(args).error;
    EXPECT_EQ(got.rfind(error, 0), 0u) << got;
  }
}

// A word off a command by a letter is told as a mistake rather than opened as the panel's
// device; a device, a file of that name or an option is not.
TEST(CliRequest, OnlyAMistypedCommandWordIsTakenForOne) {
  QTemporaryDir dir;
  ASSERT_TRUE(QFile(dir.filePath("sen")).open(QIODevice::WriteOnly));
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(dir.path().toStdString());
  const std::pair<std::string_view, bool> cases[] = {
      {"quer", true}, {"sedn", true},          {"query", false},
      {"-h", false},  {"/dev/ttyUSB0", false}, {"sen", false},  // a file here: the panel's DEVICE
  };
  for (const auto& [word, mistyped] : cases) EXPECT_EQ(IsMistypedCommand(word), mistyped) << word;
  std::filesystem::current_path(before);
}

}  // namespace
}  // namespace mero::cli
