// Asks a fleet of virtual projectors, each on its own pseudo-terminal, for their lamp hours
// with one run of `mero-control query`, and prints the time of the whole run beside the time
// of one query to one projector and the query's reply window. A fleet that answers is done
// when its slowest reply is in; one that keeps silent when the reply window closes: either
// way about one query's time, not one per projector. Where ser2net is installed the fleet is
// asked once more through it, one TCP connection a projector on the loopback.
#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "link/protocol/commands.h"
#include "projector/pty_server.h"
#include "report.h"

namespace {

using namespace std::chrono;

constexpr int kProjectors = 100;
constexpr int kRounds = 5;
constexpr int kSingleRounds = 20;
constexpr int kWaitMs = 60000;
constexpr int kFirstTcpPort = 21400;
constexpr int kStartTries = 100;
constexpr int kStartPauseMs = 50;

struct Run {
  double ms = 0;
  int exitCode = -1;
  int lines = 0;
};

// One run of the program, timed from its start to its end, no display in its environment.
Run Time(const QStringList& args) {
  QProcess program;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    environment.remove(QString::fromLatin1(name));
  }
  program.setProcessEnvironment(environment);
  const auto start = steady_clock::now();
  program.start(QStringLiteral(MERO_CONTROL_BINARY), args);
  Run run;
  if (!program.waitForFinished(kWaitMs)) return run;
  run.ms = duration<double, std::milli>(steady_clock::now() - start).count();
  run.exitCode = program.exitCode();
  run.lines = static_cast<int>(program.readAllStandardOutput().count('\n'));
  return run;
}

struct Summary {
  double median = 0;
  double worst = 0;
  int exitCode = -1;
  int lines = 0;
};

Summary Repeat(int rounds, const QStringList& args) {
  std::vector<double> times;
  Summary summary;
  for (int i = 0; i < rounds; ++i) {
    const Run run = Time(args);
    times.push_back(run.ms);
    summary.exitCode = std::max(summary.exitCode, run.exitCode);
    summary.lines = run.lines;
  }
  std::ranges::sort(times);
  summary.median = times[times.size() / 2];
  summary.worst = times.back();
  return summary;
}

void Print(const char* what, const Summary& s) {
  std::printf("%-44s median %7.1f ms, worst %7.1f ms (exit %d, %d lines)\n", what, s.median,
              s.worst, s.exitCode, s.lines);
  std::string name = std::string("lamp hours, ") + what;
  if (name.ends_with(':')) name.pop_back();
  mero::bench::Report({name + " median", s.median, "ms", "", 0, ""});
}

// ser2net serving every device on a loopback port of its own; the addresses, or none when it
// does not start.
QStringList ServeThroughSer2net(const QStringList& devices, const QString& folder,
                                QProcess& ser2net) {
  const QString program = QStandardPaths::findExecutable(
      QStringLiteral("ser2net"), {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")});
  if (program.isEmpty()) return {};
  QFile config(folder + QStringLiteral("/ser2net.yaml"));
  if (!config.open(QIODevice::WriteOnly)) return {};
  QStringList addresses;
  for (int i = 0; i < devices.size(); ++i) {
    const QString port = QString::number(kFirstTcpPort + i);
    config.write(QStringLiteral("connection: &c%1\n"
                                "  accepter: tcp,127.0.0.1,%2\n"
                                "  connector: serialdev,%3,19200n81,local\n")
                     .arg(i)
                     .arg(port, devices[i])
                     .toUtf8());
    addresses << QStringLiteral("tcp://127.0.0.1:") + port;
  }
  config.close();
  ser2net.start(
      program, {QStringLiteral("-n"), QStringLiteral("-d"), QStringLiteral("-c"), config.fileName(),
                QStringLiteral("-P"), folder + QStringLiteral("/ser2net.pid")});
  if (!ser2net.waitForStarted(kWaitMs)) return {};
  // Ready once the last projector answers through it.
  for (int i = 0; i < kStartTries; ++i) {
    if (Time({QStringLiteral("query"), QStringLiteral("status"), addresses.back()}).exitCode == 0) {
      return addresses;
    }
    QThread::msleep(kStartPauseMs);
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  std::vector<std::unique_ptr<mero::vp::PtyServer>> fleet;
  QStringList devices;
  for (int i = 0; i < kProjectors; ++i) {
    mero::vp::ServerOptions options;
    options.projector.lampHours = i;
    fleet.push_back(std::make_unique<mero::vp::PtyServer>(options));
    devices << QString::fromStdString(fleet.back()->DevicePath());
  }
  const mero::link::StatusQuery* query = mero::link::FindStatusQuery("lamp-hours");
  std::printf("lamp-hours: %d ms reply window; %d virtual projectors on pseudo-terminals\n",
              mero::link::ReplyWindowOf(query->timing), kProjectors);

  const QStringList command = {QStringLiteral("query"), QStringLiteral("lamp-hours")};
  Print("one projector, end to end:", Repeat(kSingleRounds, command + QStringList{devices[0]}));
  Print("the fleet, all answering:", Repeat(kRounds, command + devices));
  QTemporaryDir folder;
  QProcess ser2net;
  const QStringList addresses = ServeThroughSer2net(devices, folder.path(), ser2net);
  if (addresses.isEmpty()) {
    std::printf("ser2net: not installed or did not start, no run through it\n");
  } else {
    Print("one projector through ser2net:", Repeat(kSingleRounds, command + addresses.mid(0, 1)));
    Print("the fleet through ser2net, all answering:", Repeat(kRounds, command + addresses));
  }
  for (auto& projector : fleet) projector->DropAllReplies(true);
  Print("the fleet, none answering:", Repeat(kRounds, command + devices));
  if (!addresses.isEmpty()) {
    Print("the fleet through ser2net, none answering:", Repeat(kRounds, command + addresses));
    ser2net.terminate();
    ser2net.waitForFinished(kWaitMs);
  }
  return 0;
}
