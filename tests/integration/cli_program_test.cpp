// The headless commands of the real program against virtual projectors on pseudo-terminals,
// with no display: queries compared with what the window shows for the same reply, JSON, the
// exit codes, every key by name, and a fleet.

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli/request.h"
#include "cli/verdict.h"
#include "cli_support.h"
#include "link/protocol/commands.h"
#include "link/protocol/monitor_text.h"
#include "link/protocol/reply_decoding.h"
#include "panel/bindings.h"
#include "panel_on_pty.h"

namespace mero::test {
namespace {

using namespace std::chrono_literals;

constexpr int kWaitMs = 3000;

// A projector whose every reading differs from the defaults.
vp::ServerOptions Unusual() {
  vp::ServerOptions options;
  vp::ProjectorSettings& s = options.projector;
  s.lampHours = 1234;
  s.lampMode = vp::LampMode::OnlyLamp2;
  s.flipTopBottom = true;
  s.temperature1 = -5.0;
  s.temperature2 = 7.5;
  s.temperature3 = -12.5;
  s.pressureReading = 1000;
  s.model = "QM70 TEST 2.00";
  return options;
}

// The status line of the window once the whole reply to the query has arrived.
std::string StatusLineOfTheWindow(const link::StatusQuery& query) {
  PanelOnPty rig(Unusual());
  rig.window().setWindowHeight(panel::kFullHeight);
  if (query.command != nullptr) {
    const panel::OneShotBinding* key = panel::FindOneShotKey(query.command->name);
    if (key == nullptr) {
      ADD_FAILURE() << "no key sends " << query.name;
      return {};
    }
    rig.click(key->control);
  } else {
    QTest::keyClicks(rig.control("Text1"), Arg(query.code));
    rig.click("Command95");  // "SEND"
  }
  std::string status;
  const bool replied = rig.waitFor(
      [&] {
        const std::string& received = rig.form().state.rxBuffer;
        if (received.empty() || received.back() != '\r') return false;
        status = rig.caption("Label22");
        return true;
      },
      kWaitMs);
  EXPECT_TRUE(replied) << query.name;
  return status;
}

std::string Device(const vp::PtyServer& server) { return server.DevicePath(); }

// Text output is the plain value alone; JSON holds it beside the window's status line.
TEST(CliProgram, EveryQueryPrintsItsValueAndJsonTheWindowsStatusLine) {
  for (const link::StatusQuery& query : link::StatusQueries()) {
    SCOPED_TRACE(query.name);
    const std::string shown = StatusLineOfTheWindow(query);
    ASSERT_FALSE(shown.empty());
    vp::PtyServer server(Unusual());
    const QStringList args = {"query", Arg(query.name), "--com1", Arg(Device(server))};
    const ProgramRun json = RunProgram(args + QStringList{"--json"});
    EXPECT_EQ(json.exitCode, cli::kExitDone) << json.err;
    const QJsonObject object =
        QJsonDocument::fromJson(QByteArray::fromStdString(json.out)).object();
    EXPECT_EQ(object["status"].toString().toLatin1().toStdString(), shown);
    const std::string value = object["value"].toString().toLatin1().toStdString();
    EXPECT_EQ(cli::PlainValue(
                  cli::ParseRequest(std::vector<std::string_view>{"query", query.name}).message,
                  server.Commands().back().reply),
              value);
    const ProgramRun text = RunProgram(args);
    EXPECT_EQ(text.exitCode, cli::kExitDone) << text.err;
    EXPECT_EQ(text.out, value + "\n");
    EXPECT_EQ(text.err, "");
  }
}

TEST(CliProgram, JsonHoldsTheReplyAndItsFigures) {
  const vp::ProjectorSettings settings = Unusual().projector;
  const struct {
    const char* name;
    const char* field;
    QJsonValue value;
  } cases[] = {
      {"lamp-hours", "hours", settings.lampHours},
      {"temperatures", "degrees",
       QJsonArray{settings.temperature1, settings.temperature2, settings.temperature3}},
      {"pressure", "hPa", 1169},  // the status line shows "1169 hPa" for the reading 1000
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    vp::PtyServer server(Unusual());
    const ProgramRun run = RunProgram({"query", c.name, Arg(Device(server)), "--json"});
    EXPECT_EQ(run.exitCode, cli::kExitDone) << run.err;
    QJsonParseError error{};
    const QJsonObject json =
        QJsonDocument::fromJson(QByteArray::fromStdString(run.out), &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << run.out;
    const link::StatusQuery* query = link::FindStatusQuery(c.name);
    EXPECT_EQ(json["command"].toString().toStdString(), query->code);
    EXPECT_EQ(json["reply"].toString().toLatin1().toStdString(), server.Commands().back().reply);
    EXPECT_EQ(json["result"].toString(), QStringLiteral("decoded"));
    EXPECT_TRUE(json["replyMs"].isDouble());
    EXPECT_EQ(json[c.field], c.value);
  }
}

TEST(CliProgram, EachOutcomeHasItsExitCode) {
  const struct {
    const char* what;
    QStringList args;  // the device follows
    std::function<void(vp::PtyServer&)> before;
    std::function<void(vp::PtyServer&)> whileRunning;
    int exitCode;
    std::string out;
    std::string err;  // the start of standard error
  } cases[] = {
      {"acknowledged", {"send", "mute-on"}, {}, {}, cli::kExitDone, "ACK\n", ""},
      {"no reply",
       {"query", "status"},
       [](vp::PtyServer& s) { s.DropAllReplies(true); },
       {},
       cli::kExitNoReply,
       "",
       "mero-control: DEVICE: no reply to CR0 within 500 ms\n"},
      // Lower-case hexadecimal fits no row of the mute table.
      {"not decoded",
       {"query", "mute"},
       [](vp::PtyServer& s) { s.DropAllReplies(true); },
       [](vp::PtyServer& s) {
         ASSERT_TRUE(s.WaitForCommands(1, 5s));
         s.SendRaw("ff\r");
       },
       cli::kExitNotDecoded,
       "",
       "mero-control: DEVICE: the reply \"ff\\r\" to CRA fits no status\n"},
      {"refused",
       {"send", "--raw", "HELLO"},
       {},
       {},
       cli::kExitNotDecoded,
       "",
       "mero-control: DEVICE: the reply \"\\x15\\r\" to HELLO is not an acknowledgement\n"},
      {"usage",
       {"query", "lamp-life"},
       {},
       {},
       cli::kExitUsage,
       "",
       "mero-control: no status query is called \"lamp-life\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    vp::PtyServer server;
    if (c.before) c.before(server);
    const ProgramRun run = RunProgram(c.args + QStringList{Arg(Device(server))}, [&] {
      if (c.whileRunning) c.whileRunning(server);
    });
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(run.out, c.out);
    std::string err = c.err;
    if (const auto at = err.find("DEVICE"); at != std::string::npos) {
      err.replace(at, 6, Device(server));
    }
    EXPECT_EQ(run.err.substr(0, err.size()), err) << run.err;
  }
  const ProgramRun absent = RunProgram({"query", "status", "/nonexistent/ttyMERO"});
  EXPECT_EQ(absent.exitCode, cli::kExitNoPort);
  EXPECT_EQ(absent.err, "mero-control: /nonexistent/ttyMERO: there is no such device\n");
}

TEST(CliProgram, SendGivesEveryKeysExactBytes) {
  vp::PtyServer server;
  for (const link::OneShotCommand& command : link::OneShotCommands()) {
    SCOPED_TRACE(command.name);
    server.ClearRecords();
    const ProgramRun run = RunProgram({"send", Arg(command.name), Arg(Device(server))});
    EXPECT_EQ(run.exitCode, cli::kExitDone) << run.err;
    std::string received;
    for (const vp::ReceivedChunk& chunk : server.Chunks()) received += chunk.bytes;
    EXPECT_EQ(received, link::CommandText("", command.code));
  }
}

TEST(CliProgram, AFleetGivesALinePerProjectorInOrderAndTheWorstExitCode) {
  vp::ServerOptions first;
  first.projector.lampHours = 11;
  vp::ServerOptions third;
  third.projector.lampHours = 33;
  vp::PtyServer answers(first);
  vp::PtyServer silent;
  silent.DropAllReplies(true);
  vp::PtyServer answersToo(third);
  const std::string absent = "/nonexistent/ttyMERO";

  QTemporaryFile more;
  ASSERT_TRUE(more.open());
  more.write(QByteArray::fromStdString("# hall 2\n" + absent + "\n\n" + Device(answersToo) + "\n"));
  more.close();
  // The first one named again, through a link of its own: asked once all the same.
  QTemporaryDir links;
  const QString again = links.filePath(QStringLiteral("again"));
  ASSERT_TRUE(QFile::link(Arg(Device(answers)), again));
  const QStringList args = {
      "query",         "lamp-hours", Arg(Device(answers)), Arg(Device(silent)), "--addresses",
      more.fileName(), again};

  const ProgramRun text = RunProgram(args);
  EXPECT_EQ(text.exitCode, cli::kExitNoPort);
  EXPECT_EQ(text.out, Device(answers) + "\tdecoded\t11 hours\n" + Device(silent) +
                          "\tno-reply\tno reply to CR3 within 500 ms\n" + absent +
                          "\tno-port\tthere is no such device\n" + Device(answersToo) +
                          "\tdecoded\t33 hours\n");
  EXPECT_EQ(text.err, "mero-control: " + again.toStdString() + " is the same projector as " +
                          Device(answers) + ": asked once, as " + Device(answers) + "\n");
  EXPECT_EQ(answers.CommandCount(), 1u);

  const ProgramRun json = RunProgram(args + QStringList{"--json"});
  EXPECT_EQ(json.exitCode, cli::kExitNoPort);
  const QList<QByteArray> lines = QByteArray::fromStdString(json.out).trimmed().split('\n');
  ASSERT_EQ(lines.size(), 4);
  EXPECT_EQ(QJsonDocument::fromJson(lines[1]).object()["result"].toString(), "no-reply");
  EXPECT_EQ(QJsonDocument::fromJson(lines[3]).object()["hours"].toInt(), 33);
}

}  // namespace
}  // namespace mero::test
