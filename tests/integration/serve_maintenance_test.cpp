// A technician's one-shot commands and status query through the service's maintenance line,
// by the real programs, while a PJLink controller keeps asking: the projector gets the keys
// unchanged and in order, and every reply reaches its own asker.
#include <gtest/gtest.h>

#include <QProcess>
#include <QTcpSocket>
#include <QTest>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "cli_support.h"
#include "projector/pty_server.h"
#include "serve_process.h"

namespace mero::test {
namespace {

// mero-ctl through the maintenance line, while `meanwhile` plays a PJLink controller on the
// event loop again and again until it ends: both are served at once.
ProgramRun RunWhile(const QStringList& args, const std::function<void()>& meanwhile) {
  QProcess process;
  process.start(QStringLiteral(MERO_CTL_BINARY), args);
  ProgramRun run;
  if (!process.waitForStarted(20000)) return run;
  if (!QTest::qWaitFor(
          [&] {
            meanwhile();
            return process.state() == QProcess::NotRunning;
          },
          20000)) {
    process.kill();
    process.waitForFinished(5000);
    return run;
  }
  run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  run.out = process.readAllStandardOutput().toStdString();
  run.err = process.readAllStandardError().toStdString();
  return run;
}

TEST(ServeMaintenance, OneShotKeysAndAStatusQueryPassWhilePjlinkIsServed) {
  vp::PtyServer projector;
  const auto ports = FreePorts(3);
  const std::string maintenance = "127.0.0.1:" + std::to_string(ports[1]);
  ServeProcess serve(QStringLiteral(MERO_CONTROL_BINARY),
                     "[service]\nmetrics = 127.0.0.1:" + std::to_string(ports[2]) +
                         "\n[hall]\naddress = " + projector.DevicePath() + "\npjlink = 127.0.0.1:" +
                         std::to_string(ports[0]) + "\nmaintenance = " + maintenance + "\n");
  ASSERT_TRUE(serve.started()) << serve.log();
  ASSERT_TRUE(serve.logs("[hall] maintenance line on " + maintenance)) << serve.log();

  PjlinkProbe controller(ports[0]);
  ASSERT_EQ(controller.line(), "PJLINK 0\r");
  std::vector<std::string> pjlinkAnswers;
  const auto askPjlink = [&] { pjlinkAnswers.push_back(controller.ask("%1POWR ?\r")); };
  const QString line = Arg("tcp://" + maintenance);
  const std::vector<std::pair<QString, std::string>> keys = {
      {"mute-on", "C0B"}, {"no-show-on", "C0D"}, {"mute-off", "C0C"}, {"no-show-off", "C0E"}};
  for (const auto& [name, code] : keys) {
    const ProgramRun run = RunWhile({"send", name, line}, askPjlink);
    EXPECT_EQ(run.exitCode, 0) << name.toStdString() << ": " << run.out << run.err;
  }
  const ProgramRun status = RunWhile({"query", "status", line, "--json"}, askPjlink);
  EXPECT_EQ(status.exitCode, 0) << status.out << status.err;
  EXPECT_NE(status.out.find(R"("result":"decoded","sent":"CR0\r","status":" Stand by")"),
            std::string::npos)
      << status.out;

  // Only PJLink's own answers, never a maintenance reply (an ACK or a status number).
  ASSERT_GE(pjlinkAnswers.size(), 5U);
  for (const std::string& answer : pjlinkAnswers) {
    EXPECT_EQ(answer, "%1POWR=0\r");
  }
  std::set<std::string> codes;
  for (const auto& [name, code] : keys) codes.insert(code);
  std::vector<std::string> arrived;
  for (const vp::ReceivedCommand& command : projector.Commands()) {
    if (codes.contains(command.command)) arrived.push_back(command.command);
  }
  EXPECT_EQ(arrived, (std::vector<std::string>{"C0B", "C0D", "C0C", "C0E"}));

  // One holder at a time: a newcomer is told who holds the line, the holder goes on.
  PjlinkProbe holder(ports[1]);
  ASSERT_TRUE(serve.logs("[hall] maintenance client 127.0.0.1 connected"));
  PjlinkProbe newcomer(ports[1]);
  const std::string told = newcomer.line();
  EXPECT_TRUE(told.starts_with("maintenance port of [hall] is in use by 127.0.0.1 since ")) << told;
  EXPECT_TRUE(newcomer.closed());
  const std::string power = holder.ask("CR0\r");
  EXPECT_TRUE(power == "00\r" || power == "80\r") << power;
  EXPECT_TRUE(serve.logs("[hall] maintenance client 127.0.0.1 turned away")) << serve.log();

  // Turned off by a reload: the holder is let go, the PJLink controller keeps its connection.
  serve.write("[service]\nmetrics = 127.0.0.1:" + std::to_string(ports[2]) +
              "\n[hall]\naddress = " + projector.DevicePath() +
              "\npjlink = 127.0.0.1:" + std::to_string(ports[0]) + "\n");
  serve.signal(SIGHUP);
  ASSERT_TRUE(serve.logs("serve: reloaded ")) << serve.log();
  EXPECT_TRUE(holder.closed());
  EXPECT_EQ(controller.ask("%1POWR ?\r"), "%1POWR=0\r");
  QTcpSocket gone;
  gone.connectToHost(QStringLiteral("127.0.0.1"), ports[1]);
  EXPECT_FALSE(gone.waitForConnected(5000));
  EXPECT_EQ(gone.error(), QAbstractSocket::ConnectionRefusedError);
  EXPECT_EQ(serve.stop(), 0) << serve.log();
}

}  // namespace
}  // namespace mero::test
