// A port that goes away and comes back: the device hangs up, its link is removed and made
// again, and the panel opens it by itself, on the real window and the real serial port.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <QAbstractEventDispatcher>
#include <QEventLoop>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTimer>
#include <string>

#include "line_speed.h"
#include "panel/port_texts.h"
#include "panel/qt_com_port.h"
#include "panel_on_pty.h"

namespace mero::test {
namespace {

constexpr int kWaitMs = 3000;
constexpr int kQuietMs = 500;
// The quiet wait's own timer and the odd stray event; a watch that polled would add dozens.
constexpr int kQuietWakeUps = 4;

bool Contains(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

// Runs the event loop for `ms` and counts how often it woke up.
int WakeUpsWhileWaiting(int ms) {
  int wakeUps = 0;
  const auto connection = QObject::connect(QAbstractEventDispatcher::instance(),
                                           &QAbstractEventDispatcher::awake, [&] { ++wakeUps; });
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
  QObject::disconnect(connection);
  return wakeUps;
}

struct ReturningProjector {
  QTemporaryDir folder;
  std::string link = folder.filePath(QStringLiteral("projector")).toStdString();
  PanelOnPty rig{[&] {
    vp::ServerOptions options;
    options.linkPath = link;
    return options;
  }()};

  void hangUp() {
    rig.projector->HangUp();
    ::unlink(link.c_str());
  }
};

TEST(PortReturn, AHungUpDeviceIsReopenedByItselfAtTheCurrentSpeed) {
  ReturningProjector p;
  PanelOnPty& rig = p.rig;
  rig.window().setWindowHeight(panel::kFullHeight);
  rig.click("Command33");  // "COM"
  rig.click("Option10");   // "9600"

  p.hangUp();
  ASSERT_TRUE(rig.waitFor([&] { return !rig.panel->port().isOpen(); }, kWaitMs));
  ASSERT_EQ(rig.boxes.size(), 1u);
  EXPECT_EQ(rig.boxes[0], panel::DescribeLostPort(1, p.link));
  EXPECT_EQ(rig.caption("Command33"), panel::kPortButtonClosed);
  EXPECT_LE(WakeUpsWhileWaiting(kQuietMs), kQuietWakeUps);

  ASSERT_TRUE(rig.projector->ComeBack());
  ASSERT_TRUE(rig.waitFor([&] { return rig.panel->port().isOpen(); }, kWaitMs));
  ASSERT_EQ(rig.boxes.size(), 2u);
  EXPECT_EQ(rig.boxes[1], panel::DescribeRestoredPort(1, p.link, "9600,N,8,1"));
  EXPECT_EQ(rig.caption("Command33"), panel::kPortButtonOpen);
  EXPECT_EQ(LineSpeed(rig.projector->DevicePath()), B9600);

  rig.click("Command44");  // "STATUS"
  EXPECT_TRUE(rig.waitFor([&] { return rig.caption("Label22") == " Stand by"; }, kWaitMs))
      << rig.caption("Label12");
  EXPECT_EQ(rig.boxes.size(), 2u);
}

TEST(PortReturn, AHangUpReadsTheSameWhetherAKeyRepeatsOrNot) {
  ReturningProjector p;
  PanelOnPty& rig = p.rig;
  QTest::mousePress(rig.control("Command1"), Qt::LeftButton);  // VOL "+", held
  ASSERT_TRUE(rig.waitFor([&] { return rig.projector->CommandCount() >= 2; }, kWaitMs));
  p.hangUp();
  ASSERT_TRUE(rig.waitFor([&] { return !rig.panel->port().isOpen(); }, kWaitMs));
  QTest::mouseRelease(rig.control("Command1"), Qt::LeftButton);
  ASSERT_EQ(rig.boxes.size(), 1u);
  EXPECT_EQ(rig.boxes[0], panel::DescribeLostPort(1, p.link));
}

TEST(PortReturn, TheOperatorsChoiceWhileWaitingWins) {
  ReturningProjector p;
  PanelOnPty& rig = p.rig;
  p.hangUp();
  ASSERT_TRUE(rig.waitFor([&] { return !rig.panel->port().isOpen(); }, kWaitMs));

  // Choosing COM1 while it is away: the failure box, and the watch goes on for COM1.
  rig.click("Command33");  // "COM"
  rig.click("Option1");    // "COM1"
  ASSERT_EQ(rig.boxes.size(), 2u);
  EXPECT_TRUE(Contains(rig.boxes[1], "does not exist")) << rig.boxes[1];
  EXPECT_TRUE(rig.panel->port().isWatching());

  ASSERT_TRUE(rig.projector->ComeBack());
  ASSERT_TRUE(rig.waitFor([&] { return rig.panel->port().isOpen(); }, kWaitMs));
  EXPECT_EQ(rig.panel->port().portNumber(), 1);
  EXPECT_EQ(rig.boxes.size(), 3u);

  // Choosing COM2, which does not exist, while COM1 is back: the choice is carried out.
  rig.click("Command33");
  rig.click("Option2");
  EXPECT_FALSE(rig.panel->port().isOpen());
  EXPECT_EQ(rig.boxes.size(), 4u);
}

// ---- Device names ----

TEST(DeviceNames, ALinkWithABytesNameOrALongPathOpens) {
  vp::PtyServer server;
  QTemporaryDir folder;
  const QByteArray base = QFile::encodeName(folder.path());
  const QByteArray latin1 = base + "/projector-caf\xe9";
  const QByteArray longPath = base + "/" + QByteArray(200, 'd') + "/" + QByteArray(100, 'p');
  ASSERT_EQ(::mkdir((base + "/" + QByteArray(200, 'd')).constData(), 0700), 0);
  for (const QByteArray& link : {latin1, longPath}) {
    ASSERT_EQ(::symlink(server.DevicePath().c_str(), link.constData()), 0);
    panel::QtComPort port(link::ComDevice{link.toStdString(), {}, false}, link::ComDevice{});
    EXPECT_TRUE(port.open()) << port.lastFailure().description;
    const std::uint64_t before = server.CommandCount();
    EXPECT_TRUE(port.write("CR0\r"));
    EXPECT_TRUE(server.WaitForCommands(before + 1, std::chrono::seconds(3)));
    ::unlink(link.constData());  // the folder's own clean-up cannot name it
  }
  // Missing, the name is shown with the byte that is not text escaped.
  panel::QtComPort missing(link::ComDevice{(base + "/gone-caf\xe9").toStdString(), {}, false},
                           link::ComDevice{});
  EXPECT_FALSE(missing.open());
  EXPECT_TRUE(Contains(missing.lastFailure().description, "/gone-caf\\xe9) does not exist"))
      << missing.lastFailure().description;
}

}  // namespace
}  // namespace mero::test
