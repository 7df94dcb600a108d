// The panel against device servers that misbehave on purpose, and the program against a name
// server that never answers: the window keeps answering, memory stays put, the operator sees
// one notice box at most, and the program ends when told to.

#include "hostile_peer.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <string>
#include <vector>

#include "link/protocol/monitor_text.h"
#include "panel_on_pty.h"
#include "shown_boxes.h"

namespace mero::test {
namespace {

constexpr int kRunMs = 4000;
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MERO_UNDER_ADDRESS_SANITIZER
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define MERO_UNDER_ADDRESS_SANITIZER
#endif
#ifdef MERO_UNDER_ADDRESS_SANITIZER
// AddressSanitizer adds shadow memory and red zones to every block and keeps a quarantine
// (kept small for this test): the same bound, with room for what it adds.
constexpr double kGrowthLimitMb = 24;
#else
constexpr double kGrowthLimitMb = 10;
#endif
// A click queued behind whatever the peer keeps the event loop busy with.
constexpr int kAnswerMs = 1000;
constexpr std::uint64_t kFloodBytes = 1 << 20;

double RssMb() { return static_cast<double>(ProcessRssBytes()) / (1 << 20); }

// The queued click goes through the event loop like a real one, behind what the line keeps it
// busy with.
void ClickLater(PanelOnPty& rig, std::string_view name) {
  auto* button = qobject_cast<QAbstractButton*>(rig.control(name));
  ASSERT_NE(button, nullptr) << name;
  QMetaObject::invokeMethod(button, &QAbstractButton::click, Qt::QueuedConnection);
}

TEST(HostilePeers, ThePanelOutlivesEachOneWithOneNoticeBoxAndItsMemory) {
  const struct {
    Hostility how;
    const char* scheme;
    // Connections accepted by the end of the run. Start-up opens the port twice (the load,
    // then the choice of COM1), the first connection closed at once; after that, a connection
    // that holds, or one lost each time with the attempts backing off (1 and 3 s after the
    // first, the next at 7 s).
    std::uint64_t fewestConnections, mostConnections;
    bool floods;
    bool lost;  // the operator is told of a loss, in the one box
  } peers[] = {
      {Hostility::EndlessSubNegotiation, "rfc2217", 1, 2, true, false},
      {Hostility::NegotiationStorm, "rfc2217", 3, 4, true, true},
      {Hostility::IacFlood, "rfc2217", 1, 2, true, false},
      {Hostility::IacFlood, "tcp", 1, 2, true, false},  // data bytes 255 on a raw line
      {Hostility::AcceptAndClose, "tcp", 3, 4, false, true},
      {Hostility::CloseInSubNegotiation, "rfc2217", 3, 4, false, true},
  };
  for (const auto& peer : peers) {
    SCOPED_TRACE(std::string(Describe(peer.how)) + " over " + peer.scheme);
    HostilePeer server(peer.how);
    ASSERT_NE(server.port(), 0) << "the peer could not listen";
    ShownBoxes boxes;
    PanelOnPty rig(std::make_unique<vp::PtyServer>(),
                   QString::fromStdString(server.address(peer.scheme)),
                   QStringLiteral("/nonexistent/ttyMERO2"), /*showBoxes=*/true);
    rig.window().setWindowHeight(panel::kFullHeight);
    const double rssBefore = RssMb();

    rig.spin(kRunMs);
    ASSERT_FALSE(rig.window().isVisible("Frame8"));
    ClickLater(rig, "Command33");  // "COM"
    EXPECT_TRUE(rig.waitFor([&] { return rig.window().isVisible("Frame8"); }, kAnswerMs));
    ClickLater(rig, "Command44");  // "STATUS", sent or marked as not sent
    EXPECT_TRUE(rig.waitFor(
        [&] { return rig.caption("Label11").ends_with(link::MonitorText("CR0\r")); }, kAnswerMs))
        << rig.caption("Label11");

    EXPECT_LT(RssMb() - rssBefore, kGrowthLimitMb);
    EXPECT_LE(boxes.mostAtOnce(), 1u);
    EXPECT_EQ(boxes.noticeWindows(), peer.lost ? 1u : 0u);
    EXPECT_TRUE(boxes.warnings().empty()) << boxes.warnings().front();
    EXPECT_GE(server.connections(), peer.fewestConnections);
    EXPECT_LE(server.connections(), peer.mostConnections);
    if (peer.floods) {
      EXPECT_GT(server.bytesSent(), kFloodBytes) << "the peer did not flood";
    }
  }
}

// ---- A name server that never answers ----

constexpr int kSignalAfterMs = 1000;
constexpr int kEndBoundMs = 2000;  // ended in 8.9 s while exit waited for the lookup
constexpr int kSetUpMs = 10000;
constexpr int kCannotSetUp = 77;
constexpr int kLookupAnswers = 78;

// Run in a mount and network namespace of its own: a link to nobody, a resolver file naming a
// server behind it, and a check that a lookup really hangs there before the program starts.
QString NamespaceScript() {
  return QStringLiteral(R"(
ip link set lo up && ip link add v0 type veth peer name v1 &&
  ip addr add 10.9.9.1/24 dev v0 && ip link set v0 up && ip link set v1 up &&
  mount --bind "$1" /etc/resolv.conf || exit %1
timeout 1 getent hosts projector.test >/dev/null 2>&1
[ $? -eq 124 ] || exit %2
echo ready
exec "$2" --com1 tcp://projector.test:4000
)")
      .arg(kCannotSetUp)
      .arg(kLookupAnswers);
}

TEST(HostileNameServer, ATermSignalEndsTheProgramWhileItsLookupHangs) {
  if (::geteuid() != 0) GTEST_SKIP() << "a network namespace of its own needs root";
  const QString unshare = QStandardPaths::findExecutable(QStringLiteral("unshare"));
  const QStringList sbin = {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"),
                            QStringLiteral("/usr/bin"), QStringLiteral("/bin")};
  if (unshare.isEmpty() || QStandardPaths::findExecutable(QStringLiteral("ip"), sbin).isEmpty()) {
    GTEST_SKIP() << "unshare (util-linux) or ip (iproute2) is not installed";
  }
  QTemporaryDir folder;
  const QString resolv = folder.filePath(QStringLiteral("resolv.conf"));
  QFile file(resolv);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("nameserver 10.9.9.2\n");
  file.close();

  QProcess program;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  environment.insert(QStringLiteral("PATH"), environment.value(QStringLiteral("PATH")) +
                                                 QStringLiteral(":/usr/sbin:/sbin"));
  program.setProcessEnvironment(environment);
  program.start(unshare, {QStringLiteral("-mn"), QStringLiteral("sh"), QStringLiteral("-c"),
                          NamespaceScript(), QStringLiteral("sh"), resolv,
                          QStringLiteral(MERO_CONTROL_BINARY)});
  ASSERT_TRUE(program.waitForStarted(kSetUpMs));
  QByteArray output;
  const bool ready = QTest::qWaitFor(
      [&] {
        output += program.readAllStandardOutput();
        return output.contains("ready\n") || program.state() == QProcess::NotRunning;
      },
      kSetUpMs);
  const QByteArray errors = program.readAllStandardError();
  if (program.state() == QProcess::NotRunning) {
    if (program.exitCode() == kCannotSetUp) {
      GTEST_SKIP() << "the namespace could not be set up: " << errors.toStdString();
    }
    if (program.exitCode() == kLookupAnswers) {
      GTEST_SKIP() << "a lookup does not hang in the namespace (the resolver is not the one "
                      "named in /etc/resolv.conf), so it would prove nothing";
    }
    FAIL() << "ended with " << program.exitCode() << ": " << errors.toStdString();
  }
  ASSERT_TRUE(ready) << "the namespace was not ready: " << errors.toStdString();

  QTest::qWait(kSignalAfterMs);
  ASSERT_EQ(program.state(), QProcess::Running) << program.readAllStandardError().toStdString();
  ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
  QElapsedTimer ending;
  ending.start();
  const bool ended = program.waitForFinished(kEndBoundMs);
  const qint64 took = ending.elapsed();
  if (!ended) {
    program.kill();
    program.waitForFinished(kSetUpMs);
  }
  EXPECT_TRUE(ended) << "still running " << took << " ms after the signal";
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program.exitCode(), 0) << program.readAllStandardError().toStdString();
}

}  // namespace
}  // namespace mero::test
