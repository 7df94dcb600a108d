// `mero-ctl serve` under a manager of the test's own: the notification socket systemd would
// hand it, read datagram by datagram, and the signals systemd sends.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QFile>
#include <chrono>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "projector/pty_server.h"
#include "serve_process.h"

namespace mero::test {
namespace {

using Clock = std::chrono::steady_clock;

// An AF_UNIX datagram socket bound in a temporary folder, as systemd's notification socket.
class NotifySocket {
 public:
  NotifySocket() : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string where = path();
    std::strncpy(address.sun_path, where.c_str(), sizeof address.sun_path - 1);
    bound_ = ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }
  ~NotifySocket() { ::close(fd_); }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  bool bound() const { return bound_; }
  std::string path() const { return folder_.filePath(QStringLiteral("notify")).toStdString(); }

  // The next datagram, or "" when none comes within the time.
  std::string next(int withinMs) {
    pollfd ready{fd_, POLLIN, 0};
    if (::poll(&ready, 1, withinMs) != 1) return {};
    std::string datagram(4096, '\0');
    const ssize_t size = ::recv(fd_, datagram.data(), datagram.size(), 0);
    datagram.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
    return datagram;
  }
  // Datagrams up to the first that holds `text`, that one last; "" last when it did not come
  // within the time.
  std::vector<std::string> until(const std::string& text, int withinMs = 10000) {
    std::vector<std::string> seen;
    const auto end = Clock::now() + std::chrono::milliseconds(withinMs);
    do {
      seen.push_back(next(left(end)));
    } while (!seen.back().empty() && seen.back().find(text) == std::string::npos);
    return seen;
  }
  // The next datagram that is not the watchdog's.
  std::string nextEvent(int withinMs = 10000) {
    const auto end = Clock::now() + std::chrono::milliseconds(withinMs);
    std::string datagram;
    do {
      datagram = next(left(end));
    } while (datagram == "WATCHDOG=1");
    return datagram;
  }
  void drain() {
    while (!next(0).empty()) {
    }
  }

 private:
  QTemporaryDir folder_;
  int fd_;
  bool bound_ = false;

  static int left(Clock::time_point end) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    return static_cast<int>(std::max<std::int64_t>(ms.count(), 0));
  }
};

// The variables systemd sets for a service, for the programs started while it lives.
class ManagerEnvironment {
 public:
  ManagerEnvironment(const std::string& socket, const std::string& watchdogUsec) {
    qputenv("NOTIFY_SOCKET", QByteArray::fromStdString(socket));
    qputenv("WATCHDOG_USEC", QByteArray::fromStdString(watchdogUsec));
    qunsetenv("WATCHDOG_PID");
  }
  ~ManagerEnvironment() {
    qunsetenv("NOTIFY_SOCKET");
    qunsetenv("WATCHDOG_USEC");
  }
  ManagerEnvironment(const ManagerEnvironment&) = delete;
  ManagerEnvironment& operator=(const ManagerEnvironment&) = delete;
};

// A stopped process shows 'T' after its name in /proc/PID/stat.
bool Stopped(qint64 pid) {
  QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
  if (!stat.open(QIODevice::ReadOnly)) return false;
  const QByteArray text = stat.readAll();
  const auto name = text.lastIndexOf(')');
  return name >= 0 && text.mid(name + 2, 1) == "T";
}

// A virtual projector and the service's configuration for it on free ports.
struct Projector {
  vp::PtyServer server{vp::ServerOptions{}};
  std::vector<quint16> ports = FreePorts(2);
  std::string config() const {
    return "[service]\nmetrics = 127.0.0.1:" + std::to_string(ports[1]) +
           "\npoll-interval = 5\n[hall]\naddress = " + server.DevicePath() +
           "\npjlink = 127.0.0.1:" + std::to_string(ports[0]) + "\n";
  }
};

constexpr const char* kServing = "1 projector, 1 line open, 1 answering";

TEST(ServeSystemd, ReadyStatusReloadWatchdogAndStopAsSystemdExpectsThem) {
  NotifySocket manager;
  ASSERT_TRUE(manager.bound()) << manager.path();
  const Projector projector;
  const ManagerEnvironment environment(manager.path(), "400000");
  ServeProcess serve(QStringLiteral(MERO_CTL_BINARY), projector.config());
  ASSERT_TRUE(serve.started()) << serve.log();

  const std::string ready = manager.nextEvent();
  ASSERT_TRUE(ready.starts_with("READY=1\nSTATUS=1 projector, 1 line open")) << ready;
  PjlinkProbe client(projector.ports[0]);
  EXPECT_EQ(client.line(), "PJLINK 0\r") << "PJLink answers as soon as the service is ready";
  const std::vector<std::string> served =
      manager.until(std::string(kServing) + ", 1 PJLink client");
  EXPECT_EQ(served.back(), "STATUS=" + std::string(kServing) + ", 1 PJLink client");

  std::vector<std::string> beats;
  while (beats.size() < 3) {
    beats.push_back(manager.next(5000));
    if (beats.back().empty()) break;
  }
  EXPECT_EQ(beats, std::vector<std::string>(3, "WATCHDOG=1")) << "the loop feeds the watchdog";

  serve.signal(SIGHUP);
  EXPECT_TRUE(manager.nextEvent().starts_with("RELOADING=1\nMONOTONIC_USEC="));
  EXPECT_EQ(manager.nextEvent(), "READY=1");
  serve.write(projector.config() + "not-a-key = 1\n");
  serve.signal(SIGHUP);
  EXPECT_TRUE(manager.nextEvent().starts_with("RELOADING=1\n"));
  EXPECT_EQ(
      manager.nextEvent(),
      "READY=1\nSTATUS=" + std::string(kServing) + ", 1 PJLink client; not reloaded: " +
          serve.path().toStdString() + ":7: not-a-key: is not a key " +
          "of a projector (address, speed, name, pjlink, maintenance, password, password-file, "
          "password-credential)");

  // A loop that stands still feeds nothing, so that systemd restarts it.
  serve.signal(SIGSTOP);
  ASSERT_TRUE(QTest::qWaitFor([&] { return Stopped(serve.pid()); }, 5000));
  manager.drain();
  EXPECT_EQ(manager.next(1000), "") << "five periods without the loop";
  serve.signal(SIGCONT);
  EXPECT_EQ(manager.next(5000), "WATCHDOG=1");

  EXPECT_EQ(serve.stop(), 0) << serve.log();
  EXPECT_EQ(manager.until("STOPPING=1", 1000).back(), "STOPPING=1");
  EXPECT_EQ(manager.nextEvent(0), "") << "nothing after STOPPING=1 but the watchdog";
}

// The service never waits for its manager: a socket that is gone, or one whose queue is full
// because nobody reads it, is logged once, and the projector is served all the same.
TEST(ServeSystemd, AManagerThatDoesNotListenIsLoggedOnceAndNeverWaitedFor) {
  struct Row {
    const char* what;
    bool bound;
    std::string logged;
  };
  const std::vector<Row> rows{
      {"nobody reads it", true,
       "systemd is not told of the service: Resource temporarily unavailable"},
      {"no socket there", false, "systemd is not told of the service: No such file or directory"},
  };
  for (const Row& row : rows) {
    NotifySocket socket;
    const std::string path = row.bound ? socket.path() : socket.path() + "-gone";
    const Projector projector;
    // A beat every 5 ms fills the queue of an unread socket at once.
    const ManagerEnvironment environment(path, "10000");
    ServeProcess serve(QStringLiteral(MERO_CTL_BINARY), projector.config());
    ASSERT_TRUE(serve.started()) << serve.log();
    ASSERT_TRUE(serve.logs(row.logged)) << row.what << "\n" << serve.log();
    PjlinkProbe client(projector.ports[0]);
    EXPECT_EQ(client.line(), "PJLINK 0\r") << row.what;
    EXPECT_EQ(client.ask("%1CLSS ?\r"), "%1CLSS=1\r") << row.what;
    EXPECT_EQ(serve.stop(), 0) << row.what << "\n" << serve.log();
    std::string log = serve.log();
    int times = 0;
    for (auto at = log.find(row.logged); at != std::string::npos;
         at = log.find(row.logged, at + 1)) {
      ++times;
    }
    EXPECT_EQ(times, 1) << row.what << "\n" << log;
  }
}

}  // namespace
}  // namespace mero::test
