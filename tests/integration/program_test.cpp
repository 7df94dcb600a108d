// The program as a user starts it: ended by a signal, and started on a display that does not
// answer.

#include <gtest/gtest.h>
#include <signal.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSerialPort>
#include <QTest>
#include <string>

#include "panel/qt_com_port.h"
#include "projector/pty_server.h"

namespace mero::test {
namespace {

constexpr int kWaitMs = 10000;

// Where Qt may keep the lock file of a device, in the order it tries them.
QStringList LockFileCandidates(const QString& device) {
  QString name = device;
  name.remove(0, QStringLiteral("/dev/").size());
  name.replace(QLatin1Char('/'), QLatin1Char('_'));
  QStringList candidates;
  for (const char* folder : {"/var/lock", "/run/lock", "/tmp", "/var/tmp"}) {
    candidates << QString::fromLatin1(folder) + QStringLiteral("/LCK..") + name;
  }
  return candidates;
}

// Whether process `pid` has `device` open: a second opener probing earlier could take the
// device from the program in the moment it opens it.
bool HoldsOpen(qint64 pid, const QString& device) {
  const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
  for (const QFileInfo& fd : fds.entryInfoList(QDir::Files | QDir::System)) {
    if (fd.symLinkTarget() == device) return true;
  }
  return false;
}

bool AnyExists(const QStringList& paths) {
  for (const QString& path : paths) {
    if (QFileInfo::exists(path)) return true;
  }
  return false;
}

TEST(Program, EndingSignalsCloseThePortAndRemoveItsLock) {
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    vp::PtyServer server;
    const QString device = QString::fromStdString(server.DevicePath());
    const QStringList locks = LockFileCandidates(device);
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(MERO_CONTROL_BINARY), {QStringLiteral("--com1"), device});
    ASSERT_TRUE(program.waitForStarted(kWaitMs));
    ASSERT_TRUE(QTest::qWaitFor([&] { return AnyExists(locks); }, kWaitMs))
        << "the program did not open " << device.toStdString();
    if (signal == SIGTERM) {  // while it runs, a second program is told who holds the port
      ASSERT_TRUE(QTest::qWaitFor([&] { return HoldsOpen(program.processId(), device); }, kWaitMs));
      const std::string holder = "in use by another program (mero-control, process " +
                                 std::to_string(program.processId()) + ")";
      std::string description;
      // The lock file comes a moment before the device is open and the lock holds its pid.
      EXPECT_TRUE(QTest::qWaitFor(
          [&] {
            panel::QtComPort second({QFile::encodeName(device).toStdString(), {}, false}, {});
            if (second.open()) return false;
            description = second.lastFailure().description;
            return description.find(holder) != std::string::npos;
          },
          kWaitMs))
          << description;
    }

    ::kill(static_cast<pid_t>(program.processId()), signal);
    ASSERT_TRUE(program.waitForFinished(kWaitMs)) << "signal " << signal;
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << "signal " << signal;
    EXPECT_EQ(program.exitCode(), 0) << "signal " << signal;
    EXPECT_FALSE(AnyExists(locks)) << "signal " << signal;

    QSerialPort second;
    second.setPortName(device);
    EXPECT_TRUE(second.open(QIODevice::ReadWrite))
        << "signal " << signal << ": " << second.errorString().toStdString();
  }
}

// A display number with no X server behind it.
QString FreeDisplay() {
  for (int number = 91; number < 200; ++number) {
    const QString n = QString::number(number);
    if (!QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X") + n) &&
        !QFileInfo::exists(QStringLiteral("/tmp/.X") + n + QStringLiteral("-lock"))) {
      return QStringLiteral(":") + n;
    }
  }
  return {};
}

TEST(Program, ADisplayThatDoesNotAnswerGivesOneLineAndStatusOne) {
  const QString display = FreeDisplay();
  ASSERT_FALSE(display.isEmpty());
  QProcess program;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
  environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
  environment.insert(QStringLiteral("DISPLAY"), display);
  program.setProcessEnvironment(environment);
  program.start(QStringLiteral(MERO_CONTROL_BINARY),
                {QStringLiteral("--com1"), QStringLiteral("/nonexistent/ttyMERO")});
  ASSERT_TRUE(program.waitForFinished(kWaitMs));
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program.exitCode(), 1);
  const QString error = QString::fromUtf8(program.readAllStandardError());
  EXPECT_EQ(error.count(QLatin1Char('\n')), 1) << error.toStdString();
  EXPECT_TRUE(error.contains(display + QStringLiteral("\" (DISPLAY) does not answer")))
      << error.toStdString();
}

}  // namespace
}  // namespace mero::test
