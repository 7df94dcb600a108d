// The traffic log of the window and of the headless commands, read back against the bytes the
// virtual projector saw and sent.

#include <gtest/gtest.h>
#include <signal.h>

#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "cli_support.h"
#include "link/port/traffic_log.h"
#include "link/protocol/monitor_text.h"
#include "panel_on_pty.h"
#include "stalled_pipe.h"

namespace mero::test {
namespace {

using namespace std::chrono_literals;

constexpr int kWaitMs = 5000;

struct LoggedTraffic {
  std::string port;
  std::string direction;  // "TX" or "RX"
  link::Bytes bytes;
};

// Reads a traffic log back from its hexadecimal fields, failing on any line that is not whole:
// five fields, a well-formed time, the monitor text of the bytes at its end.
std::vector<LoggedTraffic> ReadTrafficLog(const std::string& path) {
  std::stringstream content;
  content << std::ifstream(path, std::ios::binary).rdbuf();
  const std::string text = content.str();
  EXPECT_TRUE(text.empty() || text.back() == '\n') << "the log ends inside a line";
  static const std::regex kForm(
      R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z\t([^\t]*)\t(TX|RX)\t((?:[0-9A-F]{2} )*[0-9A-F]{2})\t([^\t]*))");
  std::vector<LoggedTraffic> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::smatch match;
    if (!std::regex_match(line, match, kForm)) {
      ADD_FAILURE() << "not a log line: " << line;
      continue;
    }
    LoggedTraffic logged{match[1], match[2], {}};
    std::istringstream hex(match[3]);
    for (unsigned byte = 0; hex >> std::hex >> byte;) logged.bytes += static_cast<char>(byte);
    EXPECT_EQ(match[4], link::MonitorText(logged.bytes)) << line;
    lines.push_back(logged);
  }
  return lines;
}

link::Bytes Joined(const std::vector<LoggedTraffic>& lines, std::string_view direction) {
  link::Bytes bytes;
  for (const LoggedTraffic& line : lines) {
    if (line.direction == direction) bytes += line.bytes;
  }
  return bytes;
}

std::string AllReceived(const vp::PtyServer& server) {
  std::string bytes;
  for (const vp::ReceivedChunk& chunk : server.Chunks()) bytes += chunk.bytes;
  return bytes;
}

std::string AllReplies(const vp::PtyServer& server) {
  std::string bytes;
  for (const vp::ReceivedCommand& command : server.Commands()) {
    if (!command.replyDropped) bytes += command.reply;
  }
  return bytes;
}

link::Bytes EveryByteValue() {
  link::Bytes all;
  for (int value = 0; value < 256; ++value) all += static_cast<char>(value);
  return all;
}

TEST(CliTrafficLog, TheWindowsLogReadsBackAsEveryByteThatCrossed) {
  QTemporaryDir dir;
  const std::string path = dir.filePath(QStringLiteral("panel.log")).toStdString();
  std::string error;
  const auto log = link::TrafficLog::Open(path, &error);
  ASSERT_NE(log, nullptr) << error;
  PanelOnPty rig;
  rig.panel->setTrafficLog(log.get());
  rig.window().setWindowHeight(panel::kFullHeight);

  rig.click("Command44");  // "STATUS"
  ASSERT_TRUE(rig.waitFor([&] { return !rig.form().state.rxBuffer.empty(); }, kWaitMs));
  ASSERT_TRUE(rig.waitFor([&] { return rig.replyWindowClosed(); }, kWaitMs));
  // Every byte value out through the command entry: the projector takes the CR among them as
  // the end of a first command and refuses both.
  const link::Bytes all = EveryByteValue();
  qobject_cast<QLineEdit*>(rig.control("Text1"))->setText(QString::fromLatin1(all.data(), 256));
  rig.click("Command95");  // "SEND"
  ASSERT_TRUE(rig.projector->WaitForCommands(3, 2s));
  ASSERT_TRUE(rig.waitFor([&] { return rig.replyWindowClosed(); }, kWaitMs));
  // And every byte value in, with no reply window open, so that all of it stays received.
  rig.projector->SendRaw(all);
  ASSERT_TRUE(rig.waitFor([&] { return rig.form().state.rxBuffer.size() == all.size(); }, kWaitMs));

  const std::vector<LoggedTraffic> lines = ReadTrafficLog(path);
  EXPECT_EQ(Joined(lines, "TX"), "CR0\r" + all + "\r");
  EXPECT_EQ(Joined(lines, "TX"), AllReceived(*rig.projector));
  EXPECT_EQ(Joined(lines, "RX"), AllReplies(*rig.projector) + all);
  for (const LoggedTraffic& line : lines) EXPECT_EQ(line.port, rig.projector->DevicePath());
}

TEST(CliTrafficLog, TheHeadlessCommandsAppendToOneLog) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("script.log"));
  vp::PtyServer server;
  const QString device = Arg(server.DevicePath());
  for (const QStringList& args : {QStringList{"query", "status"}, QStringList{"send", "power-on"},
                                  QStringList{"send", "--raw", "CF \x01\x7f?"}}) {
    const ProgramRun run = RunProgram(args + QStringList{device, "--log", path});
    EXPECT_NE(run.exitCode, -1);
  }
  const std::vector<LoggedTraffic> lines = ReadTrafficLog(path.toStdString());
  EXPECT_EQ(std::ranges::count(lines, std::string("TX"), &LoggedTraffic::direction), 3);
  EXPECT_EQ(Joined(lines, "TX"), AllReceived(server));
  EXPECT_EQ(Joined(lines, "RX"), AllReplies(server));
  for (const LoggedTraffic& line : lines) EXPECT_EQ(line.port, server.DevicePath());
}

TEST(CliTrafficLog, AKilledProgramLeavesEveryLineWhole) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("killed.log"));
  vp::PtyServer server;
  QProcess program;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  program.setProcessEnvironment(environment);
  program.start(QStringLiteral(MERO_CONTROL_BINARY),
                {"--com1", Arg(server.DevicePath()), "--log", path});
  ASSERT_TRUE(program.waitForStarted(kWaitMs));
  // A stream of noise makes the panel log an arrival after another until it is killed; small
  // pieces, so that the log has many lines.
  server.StartNoise(10, 1ms);
  constexpr qint64 kLogBytes = 200'000;
  const bool logging = QTest::qWaitFor([&] { return QFileInfo(path).size() > kLogBytes; }, 20000);
  ::kill(static_cast<pid_t>(program.processId()), SIGKILL);
  ASSERT_TRUE(program.waitForFinished(kWaitMs));
  server.StopNoise();
  ASSERT_TRUE(logging) << "the log did not grow";
  EXPECT_EQ(program.exitStatus(), QProcess::CrashExit);
  const std::vector<LoggedTraffic> lines = ReadTrafficLog(path.toStdString());
  EXPECT_GT(lines.size(), 100u);
}

// Nothing in the log's way holds up a command: a file that fails costs one line on stderr
// and status 1, and the results are printed all the same.
TEST(CliTrafficLog, ALogThatCannotBeWrittenCostsOneLineAndStatusOne) {
  vp::PtyServer server;
  const QString device = Arg(server.DevicePath());
  const ProgramRun plain = RunProgram({"query", "status", device});
  const ProgramRun full = RunProgram({"query", "status", device, "--log", "/dev/full"});
  ASSERT_EQ(plain.exitCode, 0) << plain.err;
  EXPECT_EQ(full.exitCode, 1);
  EXPECT_EQ(full.out, plain.out);
  EXPECT_EQ(std::ranges::count(full.err, '\n'), 1) << full.err;
  EXPECT_NE(full.err.find("/dev/full"), std::string::npos) << full.err;
}

TEST(CliTrafficLog, AQueryEndsWhenTheLogsReaderHasStoppedReading) {
  const StalledPipe pipe;
  pipe.fill();
  vp::PtyServer server;
  QProcess program;
  program.start(QStringLiteral(MERO_CONTROL_BINARY),
                {"query", "status", Arg(server.DevicePath()), "--log", Arg(pipe.path)});
  // Well past the reply window, and far short of forever.
  const bool ended = program.waitForFinished(kWaitMs);
  if (!ended) program.kill();
  program.waitForFinished(kWaitMs);
  ASSERT_TRUE(ended) << "the query waited for the log";
  EXPECT_EQ(program.exitCode(), 1);
  EXPECT_FALSE(program.readAllStandardOutput().isEmpty());
  EXPECT_TRUE(program.readAllStandardError().contains(pipe.path.c_str()));
}

TEST(CliTrafficLog, TheWindowEndsOnSigtermWhileTheLogsReaderHasStoppedReading) {
  const StalledPipe pipe;
  vp::PtyServer server;
  QProcess program;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  program.setProcessEnvironment(environment);
  program.start(QStringLiteral(MERO_CONTROL_BINARY),
                {"--com1", Arg(server.DevicePath()), "--log", Arg(pipe.path)});
  ASSERT_TRUE(program.waitForStarted(kWaitMs));
  server.StartNoise(10, 1ms);
  const bool logging = QTest::qWaitFor([&] { return pipe.hasUnread(); }, 20000);
  pipe.fill();
  // The noise keeps the window logging, now into a pipe that takes nothing.
  QTest::qWait(500);
  ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
  const bool ended = program.waitForFinished(kWaitMs);
  if (!ended) program.kill();
  program.waitForFinished(kWaitMs);
  server.StopNoise();
  ASSERT_TRUE(logging) << "the window logged nothing";
  EXPECT_TRUE(ended) << "SIGTERM did not end the window";
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
}

TEST(CliTrafficLog, TheWindowShowsOneNoticeForALogThatCannotBeWritten) {
  std::string error;
  const auto log = link::TrafficLog::Open("/dev/full", &error);
  ASSERT_NE(log, nullptr) << error;
  PanelOnPty rig;
  rig.panel->setTrafficLog(log.get());
  for (int i = 0; i < 2; ++i) {
    rig.click("Command44");  // "STATUS"
    ASSERT_TRUE(rig.waitFor([&] { return !rig.form().state.rxBuffer.empty(); }, kWaitMs));
    ASSERT_TRUE(rig.waitFor([&] { return rig.replyWindowClosed(); }, kWaitMs));
  }
  EXPECT_GE(log->linesLost(), 4u);
  EXPECT_EQ(std::ranges::count_if(
                rig.boxes,
                [](const std::string& box) { return box.find("/dev/full") != std::string::npos; }),
            1);
}

}  // namespace
}  // namespace mero::test
