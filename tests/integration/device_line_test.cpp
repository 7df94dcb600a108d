// The port on local devices: real pseudo-terminals through QSerialPort, driven by the real
// event loop. The test holds the master side of each terminal and plays the projector end of
// the cable.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <array>
#include <cerrno>
#include <ctime>
#include <string>
#include <vector>

#include "link/lines/device_lock.h"
#include "panel/qt_com_port.h"
#include "projector/pty_server.h"

namespace mero::link {
namespace {

using panel::kEventReceive;
using panel::PortFailure;
using panel::QtComPort;
using panel::SerialPort;

constexpr int kWaitMs = 5000;
constexpr int kQuietWindowMs = 500;
// A port that spins on a dead descriptor burns a whole core; an idle event loop a sliver.
constexpr double kMaxBusyShare = 0.3;
constexpr int kByteValues = 256;
constexpr std::size_t kReadChunk = 512;
constexpr double kNanosPerSecond = 1e9;
constexpr uid_t kRootUid = 0;
constexpr gid_t kRootGid = 0;

std::string AllByteValues() {
  std::string bytes;
  for (int value = 0; value < kByteValues; ++value) bytes.push_back(static_cast<char>(value));
  return bytes;
}

double ProcessCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / kNanosPerSecond;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// One pseudo-terminal pair. The test keeps a descriptor of the slave open from the start so
// it can read the slave's line settings while the port holds it exclusively.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    std::array<char, PATH_MAX> name{};
    if (ptsname_r(master_, name.data(), name.size()) != 0) return;
    path_ = name.data();
    slave_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slave_ < 0) return;
    termios tio{};
    if (tcgetattr(slave_, &tio) != 0) return;
    cfmakeraw(&tio);
    ready_ = tcsetattr(slave_, TCSANOW, &tio) == 0;
  }
  ~Pty() {
    if (slave_ >= 0) ::close(slave_);
    hangUp();
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  bool ready() const { return ready_; }
  const std::string& path() const { return path_; }
  QString qpath() const { return QString::fromStdString(path_); }

  // The far end going away: the slave side sees a hang-up.
  void hangUp() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

  bool send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n < 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  // Appends whatever the port has sent so far.
  void drain(std::string& into) {
    std::array<char, kReadChunk> chunk{};
    ssize_t n = 0;
    while ((n = ::read(master_, chunk.data(), chunk.size())) > 0) {
      into.append(chunk.data(), static_cast<std::size_t>(n));
    }
  }

  // Waits, without running the event loop, until the slave's input queue holds bytes.
  bool inputQueued() const {
    pollfd watch{slave_, POLLIN, 0};
    return ::poll(&watch, 1, kWaitMs) == 1;
  }

  termios slaveTermios() const {
    termios tio{};
    tcgetattr(slave_, &tio);
    return tio;
  }
  speed_t outputSpeed() const {
    const termios tio = slaveTermios();
    return cfgetospeed(&tio);
  }
  speed_t inputSpeed() const {
    const termios tio = slaveTermios();
    return cfgetispeed(&tio);
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
  bool ready_ = false;
};

// The port with COM1 and COM2 on the given devices.
struct PtyPort : QtComPort {
  explicit PtyPort(const QString& com1, const QString& com2 = QStringLiteral("/dev/ttyS1"))
      : QtComPort({QFile::encodeName(com1).toStdString(), {}, false},
                  {QFile::encodeName(com2).toStdString(), {}, false}) {}
};

// Collects what the port hands to the panel.
struct Listener {
  explicit Listener(SerialPort& port) {
    port.onEvent = [this, &port](int kind) {
      kinds.push_back(kind);
      if (kind == kEventReceive) received += port.takeAll();
    };
    port.onLost = [this](const PortFailure& failure) { losses.push_back(failure); };
  }
  std::vector<int> kinds;
  std::string received;
  std::vector<PortFailure> losses;
};

// Runs with the effective user "nobody", so that file permissions apply even to root.
class AsNobody {
 public:
  AsNobody() {
    const passwd* nobody = getpwnam("nobody");
    active_ = nobody != nullptr && seteuid(nobody->pw_uid) == 0;
  }
  ~AsNobody() {
    if (active_) seteuid(kRootUid);
  }
  AsNobody(const AsNobody&) = delete;
  AsNobody& operator=(const AsNobody&) = delete;
  bool active() const { return active_; }

 private:
  bool active_ = false;
};

// ---- Opening, closing and choosing the port ----

TEST(DeviceLineOpen, AbsentDeviceIsReportedByNameAndLeavesThePortClosed) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString missing = dir.filePath("ttyUSB9");
  PtyPort port(QStringLiteral("/dev/null-com1-unused"), missing);
  ASSERT_TRUE(port.setPortNumber(2));

  EXPECT_FALSE(port.open());
  EXPECT_FALSE(port.isOpen());
  const PortFailure failure = port.lastFailure();
  EXPECT_TRUE(failure.absent);
  for (const std::string& part :
       {std::string("COM2"), missing.toStdString(), std::string("does not exist")}) {
    EXPECT_TRUE(Contains(failure.description, part)) << part << " missing: " << failure.description;
  }
}

TEST(DeviceLineOpen, PortHeldByAnotherProgramIsReportedAsInUse) {
  Pty pty;
  ASSERT_TRUE(pty.ready());
  PtyPort holder(pty.qpath(), pty.qpath());
  ASSERT_TRUE(holder.open()) << holder.lastFailure().description;

  PtyPort second(pty.qpath(), pty.qpath());
  EXPECT_FALSE(second.open());
  EXPECT_FALSE(second.isOpen());
  const PortFailure failure = second.lastFailure();
  EXPECT_TRUE(Contains(failure.description, "in use by another program")) << failure.description;
  EXPECT_TRUE(Contains(failure.description, pty.path())) << failure.description;
  EXPECT_TRUE(holder.isOpen());
}

// Serial programs such as picocom and tio lock a device with flock, not with a lock file:
// each side keeps off the device the other holds, whichever came first.
TEST(DeviceLineOpen, AFlockOfAnotherProgramIsRespectedAndOursIsSeen) {
  Pty pty;
  ASSERT_TRUE(pty.ready());
  QProcess other;
  other.start(QStringLiteral("flock"), {QStringLiteral("--exclusive"), QStringLiteral("--nonblock"),
                                        QStringLiteral("--no-fork"), pty.qpath(),
                                        QStringLiteral("sleep"), QStringLiteral("30")});
  ASSERT_TRUE(other.waitForStarted(kWaitMs));
  ASSERT_TRUE(QTest::qWaitFor([&] { return FlockHolder(pty.path()).has_value(); }, kWaitMs));
  {
    PtyPort port(pty.qpath());
    EXPECT_FALSE(port.open());
    EXPECT_FALSE(port.isOpen());
    const std::string expected =
        "in use by another program (sleep, process " + std::to_string(other.processId()) + ")";
    EXPECT_TRUE(Contains(port.lastFailure().description, expected))
        << port.lastFailure().description;
  }
  other.kill();
  other.waitForFinished(kWaitMs);

  PtyPort port(pty.qpath());
  ASSERT_TRUE(port.open()) << port.lastFailure().description;
  constexpr int kHeld = 99;
  QProcess second;
  second.start(QStringLiteral("flock"),
               {QStringLiteral("--exclusive"), QStringLiteral("--nonblock"),
                QStringLiteral("--conflict-exit-code"), QString::number(kHeld), pty.qpath(),
                QStringLiteral("true")});
  ASSERT_TRUE(second.waitForFinished(kWaitMs));
  EXPECT_EQ(second.exitCode(), kHeld);
  port.close();
  second.start(second.program(), second.arguments());
  ASSERT_TRUE(second.waitForFinished(kWaitMs));
  EXPECT_EQ(second.exitCode(), 0);
}

TEST(DeviceLineOpen, DeviceWithoutPermissionSaysWhoMayUseIt) {
  Pty pty;
  ASSERT_TRUE(pty.ready());
  if (geteuid() == kRootUid) {
    // Give the terminal the group that owns terminals where the system has one.
    if (const group* tty = getgrnam("tty")) {
      ASSERT_EQ(chown(pty.path().c_str(), static_cast<uid_t>(-1), tty->gr_gid), 0);
    }
  }
  ASSERT_EQ(chmod(pty.path().c_str(), 0), 0);
  struct stat info {};
  ASSERT_EQ(stat(pty.path().c_str(), &info), 0);
  const group* owner = getgrgid(info.st_gid);
  ASSERT_NE(owner, nullptr);
  const std::string groupName = owner->gr_name;

  PtyPort port(pty.qpath(), pty.qpath());
  bool opened = false;
  {
    // Root may open anything; as another user the refusal is real.
    std::optional<AsNobody> nobody;
    if (geteuid() == kRootUid) {
      nobody.emplace();
      if (!nobody->active()) GTEST_SKIP() << "cannot take the identity of user nobody";
    }
    opened = port.open();
  }
  EXPECT_FALSE(opened);
  const PortFailure failure = port.lastFailure();
  EXPECT_TRUE(Contains(failure.description, "No permission")) << failure.description;
  EXPECT_TRUE(Contains(failure.description, pty.path())) << failure.description;
  if (info.st_gid == kRootGid) {
    EXPECT_TRUE(Contains(failure.description, "administrator")) << failure.description;
    EXPECT_FALSE(Contains(failure.description, "group")) << failure.description;
  } else {
    EXPECT_TRUE(Contains(failure.description, "\"" + groupName + "\"")) << failure.description;
  }
}

TEST(DeviceLineOpen, PortNumberIsChosenOnlyWhileClosed) {
  Pty com1;
  Pty com2;
  ASSERT_TRUE(com1.ready() && com2.ready());
  PtyPort port(com1.qpath(), com2.qpath());
  Listener listener(port);
  EXPECT_EQ(port.portNumber(), 1);

  EXPECT_FALSE(port.setPortNumber(3));
  EXPECT_FALSE(port.setPortNumber(0));
  EXPECT_EQ(port.portNumber(), 1);

  ASSERT_TRUE(port.open());
  EXPECT_FALSE(port.open());
  EXPECT_FALSE(port.setPortNumber(2));
  EXPECT_EQ(port.portNumber(), 1);

  EXPECT_TRUE(port.close());
  EXPECT_TRUE(port.close());
  ASSERT_TRUE(port.setPortNumber(2));
  ASSERT_TRUE(port.open());
  // Now on the second terminal: what its far end sends arrives, the first one's does not.
  ASSERT_TRUE(com1.send("one"));
  ASSERT_TRUE(com2.send("two"));
  EXPECT_TRUE(QTest::qWaitFor([&] { return listener.received.size() >= 3; }, kWaitMs));
  EXPECT_EQ(listener.received, "two");
}

TEST(DeviceLineOpen, InputWaitingBeforeTheOpenIsDiscarded) {
  Pty pty;
  ASSERT_TRUE(pty.ready());
  PtyPort port(pty.qpath(), pty.qpath());
  Listener listener(port);
  ASSERT_TRUE(pty.send("STALE"));
  ASSERT_TRUE(pty.inputQueued());

  ASSERT_TRUE(port.open()) << port.lastFailure().description;
  ASSERT_TRUE(pty.send("00\r"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return Contains(listener.received, "\r"); }, kWaitMs));
  EXPECT_EQ(listener.received, "00\r");
}

TEST(DeviceLineOpen, WriteToAClosedPortFails) {
  PtyPort port(QStringLiteral("/dev/null-com1-unused"));
  EXPECT_FALSE(port.write("C00\r"));
  EXPECT_TRUE(Contains(port.lastFailure().description, "COM1")) << port.lastFailure().description;
}

// ---- Traffic ----

TEST(DeviceLineTraffic, EveryByteValueGoesOutUnchanged) {
  Pty pty;
  ASSERT_TRUE(pty.ready());
  PtyPort port(pty.qpath());
  ASSERT_TRUE(port.open()) << port.lastFailure().description;
  const std::string text = "C00\r" + AllByteValues() + "CR0\r";

  ASSERT_TRUE(port.write(text));
  std::string arrived;
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        pty.drain(arrived);
        return arrived.size() >= text.size();
      },
      kWaitMs));
  EXPECT_EQ(arrived, text);
}

TEST(DeviceLineTraffic, EveryByteValueComesInUnchangedWithReceiveEvents) {
  Pty pty;
  ASSERT_TRUE(pty.ready());
  PtyPort port(pty.qpath());
  Listener listener(port);
  ASSERT_TRUE(port.open()) << port.lastFailure().description;
  const std::string text = AllByteValues();

  ASSERT_TRUE(pty.send(text));
  EXPECT_TRUE(QTest::qWaitFor([&] { return listener.received.size() >= text.size(); }, kWaitMs));
  EXPECT_EQ(listener.received, text);
  ASSERT_FALSE(listener.kinds.empty());
  for (int kind : listener.kinds) EXPECT_EQ(kind, kEventReceive);
  EXPECT_TRUE(listener.losses.empty());
}

TEST(DeviceLineTraffic, OneCharacterRaisesTheReceiveEvent) {
  Pty pty;
  ASSERT_TRUE(pty.ready());
  PtyPort port(pty.qpath());
  int events = 0;
  std::string taken;
  port.onEvent = [&](int kind) {
    if (kind != kEventReceive) return;
    ++events;
    taken += port.takeAll();
  };
  ASSERT_TRUE(port.open());

  ASSERT_TRUE(pty.send("\x06"));
  EXPECT_TRUE(QTest::qWaitFor([&] { return events > 0; }, kWaitMs));
  EXPECT_EQ(taken, "\x06");
  EXPECT_EQ(port.takeAll(), "");
}

// A device trickling bytes at 19200 baud, one at a time: they are handed on in order and
// together, not one event per byte; what came on while they were held follows.
TEST(DeviceLineTraffic, ATrickleIsHandedOnInOrderAndInFewEvents) {
  constexpr int kTrickleBaud = 19200;
  constexpr std::size_t kTrickleBytes = 400;
  constexpr std::size_t kMostEvents = kTrickleBytes / 4;
  vp::PtyServer projector;
  PtyPort port(QString::fromStdString(projector.DevicePath()));
  Listener listener(port);
  ASSERT_TRUE(port.open()) << port.lastFailure().description;
  std::string text(kTrickleBytes, '\0');
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);

  projector.SetBaud(kTrickleBaud);
  projector.SendRaw(text);
  // The event loop itself, not QTest's waits, which sleep between turns and so would gather
  // the bytes whatever the port does.
  QEventLoop loop;
  QTimer::singleShot(kWaitMs, &loop, &QEventLoop::quit);
  QTimer check;
  QObject::connect(&check, &QTimer::timeout, &loop, [&] {
    if (listener.received.size() >= text.size()) loop.quit();
  });
  check.start(kQuietWindowMs / 10);
  loop.exec();
  EXPECT_EQ(listener.received, text);
  EXPECT_LT(listener.kinds.size(), kMostEvents);

  // Closed and opened again while arrivals may be held: the next text comes in whole.
  projector.SetBaud(0);
  ASSERT_TRUE(port.close());
  ASSERT_TRUE(port.open()) << port.lastFailure().description;
  listener.received.clear();
  projector.SendRaw("00\r");
  EXPECT_TRUE(QTest::qWaitFor([&] { return listener.received == "00\r"; }, kWaitMs))
      << listener.received;
}

// ---- Line settings ----

TEST(DeviceLineSettings, ChangeOnAnOpenPortTakesEffectWithoutReopening) {
  Pty pty;
  ASSERT_TRUE(pty.ready());
  PtyPort port(pty.qpath());
  Listener listener(port);
  ASSERT_TRUE(port.setSettings("19200,N,8,1"));
  ASSERT_TRUE(port.open()) << port.lastFailure().description;
  EXPECT_EQ(pty.outputSpeed(), B19200);
  EXPECT_EQ(pty.inputSpeed(), B19200);

  // Bytes waiting in the driver at the change survive it: a reopen would discard them.
  ASSERT_TRUE(pty.send("0"));
  ASSERT_TRUE(pty.inputQueued());
  ASSERT_TRUE(port.setSettings("9600,N,8,1"));
  EXPECT_TRUE(port.isOpen());
  const termios at9600 = pty.slaveTermios();
  EXPECT_EQ(cfgetospeed(&at9600), B9600);
  EXPECT_EQ(cfgetispeed(&at9600), B9600);
  EXPECT_EQ(at9600.c_cflag & CSTOPB, 0U);
  EXPECT_EQ(at9600.c_iflag & (IXON | IXOFF), 0U);
  EXPECT_EQ(at9600.c_cflag & CRTSCTS, 0U);

  ASSERT_TRUE(pty.send("0\r"));
  EXPECT_TRUE(QTest::qWaitFor([&] { return listener.received.size() >= 3; }, kWaitMs));
  EXPECT_EQ(listener.received, "00\r");
  EXPECT_TRUE(listener.losses.empty());

  ASSERT_TRUE(port.setSettings("19200,N,8,2"));
  EXPECT_EQ(pty.outputSpeed(), B19200);
  EXPECT_NE(pty.slaveTermios().c_cflag & CSTOPB, 0U);
}

TEST(DeviceLineSettings, SettingsChosenWhileClosedApplyAtTheNextOpen) {
  Pty pty;
  ASSERT_TRUE(pty.ready());
  PtyPort port(pty.qpath());
  ASSERT_TRUE(port.setSettings("19200,N,8,1"));
  ASSERT_TRUE(port.open());
  ASSERT_TRUE(port.close());
  ASSERT_TRUE(port.setSettings("9600,N,8,1"));
  ASSERT_TRUE(port.open());
  EXPECT_EQ(pty.outputSpeed(), B9600);
}

TEST(DeviceLineSettings, MalformedSettingsAreRefusedAndChangeNothing) {
  Pty pty;
  ASSERT_TRUE(pty.ready());
  PtyPort port(pty.qpath());
  ASSERT_TRUE(port.setSettings("19200,N,8,1"));
  ASSERT_TRUE(port.open());
  EXPECT_FALSE(port.setSettings("9600;N;8;1"));
  EXPECT_TRUE(Contains(port.lastFailure().description, "9600;N;8;1"));
  EXPECT_EQ(pty.outputSpeed(), B19200);
  EXPECT_TRUE(port.isOpen());
}

// ---- A port that goes away under the program ----

TEST(DeviceLineLoss, HangUpClosesThePortReportsOnceAndDoesNotSpin) {
  Pty pty;
  ASSERT_TRUE(pty.ready());
  PtyPort port(pty.qpath());
  Listener listener(port);
  ASSERT_TRUE(port.open()) << port.lastFailure().description;

  QElapsedTimer wall;
  const double cpuAtHangUp = ProcessCpuSeconds();
  wall.start();
  pty.hangUp();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !listener.losses.empty(); }, kWaitMs));
  // Time for a spinning descriptor or a second report to show itself.
  QTest::qWait(kQuietWindowMs);
  const double cpu = ProcessCpuSeconds() - cpuAtHangUp;
  const double elapsed = static_cast<double>(wall.nsecsElapsed()) / kNanosPerSecond;

  EXPECT_EQ(listener.losses.size(), 1U);
  EXPECT_FALSE(port.isOpen());
  const PortFailure& loss = listener.losses.front();
  EXPECT_TRUE(Contains(loss.description, "COM1")) << loss.description;
  EXPECT_TRUE(Contains(loss.description, pty.path())) << loss.description;
  EXPECT_TRUE(Contains(loss.description, "disconnected")) << loss.description;
  EXPECT_LT(cpu, kMaxBusyShare * elapsed) << "CPU " << cpu << " s in " << elapsed << " s";
  EXPECT_FALSE(port.write("C00\r"));
}

TEST(DeviceLineLoss, WriteAfterHangUpFailsAndTheLossIsReportedOnce) {
  Pty pty;
  ASSERT_TRUE(pty.ready());
  PtyPort port(pty.qpath());
  Listener listener(port);
  ASSERT_TRUE(port.open());

  pty.hangUp();
  EXPECT_FALSE(port.write("C00\r"));
  EXPECT_TRUE(Contains(port.lastFailure().description, "disconnected"))
      << port.lastFailure().description;
  EXPECT_FALSE(port.write("C01\r"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !listener.losses.empty(); }, kWaitMs));
  QTest::qWait(kQuietWindowMs);
  EXPECT_EQ(listener.losses.size(), 1U);
  EXPECT_FALSE(port.isOpen());
}

TEST(DeviceLineLoss, ClosingBeforeTheLossIsHandledReportsNothing) {
  Pty pty;
  ASSERT_TRUE(pty.ready());
  PtyPort port(pty.qpath());
  Listener listener(port);
  ASSERT_TRUE(port.open());

  pty.hangUp();
  // The failed write notices the hang-up; the panel closes the port before the event loop
  // gets to the loss.
  EXPECT_FALSE(port.write("C00\r"));
  EXPECT_TRUE(port.close());
  QTest::qWait(kQuietWindowMs);
  EXPECT_TRUE(listener.losses.empty());
  EXPECT_FALSE(port.isOpen());
}

TEST(DeviceLineLoss, TheSamePortNameOpensAgainOnceTheDeviceIsBack) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString link = dir.filePath("com1");
  auto first = std::make_unique<Pty>();
  ASSERT_TRUE(first->ready());
  ASSERT_TRUE(QFile::link(first->qpath(), link));

  PtyPort port(link);
  Listener listener(port);
  ASSERT_TRUE(port.open()) << port.lastFailure().description;
  first->hangUp();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !listener.losses.empty(); }, kWaitMs));
  ASSERT_FALSE(port.isOpen());

  // The adapter plugged in again: the same name leads to a new device.
  first.reset();
  Pty second;
  ASSERT_TRUE(second.ready());
  ASSERT_TRUE(QFile::remove(link));
  ASSERT_TRUE(QFile::link(second.qpath(), link));
  ASSERT_TRUE(port.open()) << port.lastFailure().description;

  ASSERT_TRUE(port.write("CR0\r"));
  std::string arrived;
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        second.drain(arrived);
        return arrived.size() >= 4;
      },
      kWaitMs));
  EXPECT_EQ(arrived, "CR0\r");
  ASSERT_TRUE(second.send("00\r"));
  EXPECT_TRUE(QTest::qWaitFor([&] { return listener.received.size() >= 3; }, kWaitMs));
  EXPECT_EQ(listener.received, "00\r");
  EXPECT_EQ(listener.losses.size(), 1U);
}

}  // namespace
}  // namespace mero::link
