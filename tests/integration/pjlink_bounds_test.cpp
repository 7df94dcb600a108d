// The PJLink server's bounds on real sockets: a client that shuts its sending side is answered
// before the close (Debian's `nc -N`, and a raw socket), silent connections from one address
// and from many do not keep a controller out, wrong digests are answered late while others
// are served, and a service out of descriptors pauses accepting instead of spinning.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QProcess>
#include <QTimer>
#include <algorithm>
#include <array>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "projector/projector.h"
#include "projector/pty_server.h"
#include "serve/pjlink_bridge.h"
#include "serve/qt_pjlink_server.h"
#include "serve_process.h"

namespace mero::test {
namespace {

// A client on a plain socket, from a loopback address of the test's choice.
class RawClient {
 public:
  explicit RawClient(quint16 port, const std::string& from = "127.0.0.1")
      : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
    connected_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
                 ::connect(fd_, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0;
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
  }
  ~RawClient() { ::close(fd_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return connected_; }
  void send(const std::string& bytes) {
    (void)::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }
  void shutWrite() { ::shutdown(fd_, SHUT_WR); }
  // The next line up to its CR, or "" when none comes within the time.
  std::string line(int withinMs = 5000) {
    (void)QTest::qWaitFor([&] { return pull().find('\r') != std::string::npos || eof_; }, withinMs);
    const auto end = in_.find('\r');
    if (end == std::string::npos) return {};
    std::string text = in_.substr(0, end + 1);
    in_.erase(0, end + 1);
    return text;
  }
  // Everything until the server closed, or "(open)" when it did not within the time.
  std::string rest(int withinMs = 5000) {
    if (!QTest::qWaitFor([&] { return pull(), eof_; }, withinMs)) return "(open)";
    return std::exchange(in_, {});
  }

 private:
  const std::string& pull() {
    std::array<char, 512> chunk{};
    for (;;) {
      const ssize_t got = ::recv(fd_, chunk.data(), chunk.size(), 0);
      if (got > 0) {
        in_.append(chunk.data(), static_cast<std::size_t>(got));
        continue;
      }
      if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) eof_ = true;
      return in_;
    }
  }
  int fd_;
  bool connected_ = false;
  bool eof_ = false;
  std::string in_;
};

// The projector behind the server answers a little later, as one on a serial line does: after
// the client has shut its side.
class SlowProjector : public link::Exchanges {
 public:
  void exchange(std::string_view code,
                std::function<void(const link::ExchangeResult&)> done) override {
    QTimer::singleShot(kReplyMs, [this, code = std::string(code), done = std::move(done)] {
      done({link::ExchangeResult::Kind::Reply, projector.Handle(code, 0), kReplyMs});
    });
  }
  static constexpr int kReplyMs = 150;
  vp::Projector projector;
};

// A PJLink server in this process on a free port, with what it logged.
struct Server {
  explicit Server(const std::string& password = {}, serve::PjlinkLimits limits = {})
      : server(bridge, password, figures, limits,
               [this](serve::Priority, const std::string& text) { log.push_back(text); }) {
    server.onRequestAnswered = [this] { ++answered; };
    std::string error;
    listening = server.listen("127.0.0.1", 0, &error);
    EXPECT_TRUE(listening) << error;
  }
  std::string digestFor(const std::string& greeting) const {
    return serve::PjlinkDigest(greeting.substr(9, 8), "secret");
  }
  std::size_t logged(const std::string& start) const {
    return static_cast<std::size_t>(std::ranges::count_if(
        log, [&](const std::string& line) { return line.starts_with(start); }));
  }

  SlowProjector link;
  serve::PjlinkBridge bridge{link, {"hall", "mero-control"}};
  serve::ServiceFigures figures;
  std::vector<std::string> log;
  serve::PjlinkServer server;
  std::uint64_t answered = 0;
  bool listening = false;
};

TEST(PjlinkBounds, AClientThatShutsItsSideIsAnsweredBeforeTheClose) {
  Server served;
  const std::string requests = "%1POWR ?\r%1NAME ?\r%1INPT";
  const std::string answered = "PJLINK 0\r%1POWR=0\r%1NAME=hall\r";

  QProcess nc;
  nc.start(QStringLiteral("nc"), {QStringLiteral("-N"), QStringLiteral("127.0.0.1"),
                                  QString::number(served.server.port())});
  ASSERT_TRUE(nc.waitForStarted()) << "tools/setup.sh installs netcat-openbsd";
  nc.write(requests.c_str());
  nc.closeWriteChannel();
  ASSERT_TRUE(QTest::qWaitFor([&] { return nc.state() == QProcess::NotRunning; }, 10000));
  EXPECT_EQ(nc.readAllStandardOutput().toStdString(), answered) << "nc -N";
  EXPECT_EQ(nc.exitCode(), 0) << nc.readAllStandardError().toStdString();

  RawClient raw(served.server.port());
  PjlinkProbe other(served.server.port());
  raw.send(requests);
  raw.shutWrite();
  other.line();
  EXPECT_EQ(other.ask("%1NAME ?\r"), "%1NAME=hall\r") << "served meanwhile";
  EXPECT_EQ(raw.rest(), answered) << "shutdown(SHUT_WR)";
  EXPECT_EQ(served.answered, 5U);
  EXPECT_EQ(served.figures.pjlinkRefusedBy, decltype(served.figures.pjlinkRefusedBy){});
}

// Silent connections held open, more than an address may hold and from many addresses: the
// controller with the password is greeted, answered, and stays while the flood goes on.
TEST(PjlinkBounds, SilentConnectionsDoNotKeepTheControllerOut) {
  Server served("secret");
  const quint16 port = served.server.port();
  const serve::PjlinkLimits limits;
  std::vector<std::unique_ptr<RawClient>> flood;
  const auto open = [&](const std::string& from, int count) {
    for (int i = 0; i < count; ++i) {
      flood.push_back(std::make_unique<RawClient>(port, from));
      ASSERT_TRUE(flood.back()->connected()) << from;
    }
  };
  open("127.0.0.2", limits.mostPerAddress + 4);
  for (int address = 3; address <= 10; ++address) {
    open("127.0.0." + std::to_string(address), limits.mostPerAddress);
  }
  int greeted = 0;
  for (auto& client : flood) greeted += client->line(1000).starts_with("PJLINK 1 ") ? 1 : 0;
  EXPECT_GE(greeted, limits.mostUnauthenticated);

  RawClient controller(port);
  const std::string greeting = controller.line();
  ASSERT_TRUE(greeting.starts_with("PJLINK 1 ")) << greeting;
  open("127.0.0.11", 4);  // the flood goes on while the controller works out its digest
  controller.send(served.digestFor(greeting) + "%1POWR ?\r");
  EXPECT_EQ(controller.line(), "%1POWR=0\r");
  for (int address = 12; address <= 20; ++address) open("127.0.0." + std::to_string(address), 4);
  controller.send("%1NAME ?\r");
  EXPECT_EQ(controller.line(), "%1NAME=hall\r") << "an authenticated controller stays";

  const auto& by = served.figures.pjlinkRefusedBy;
  EXPECT_EQ(by[static_cast<std::size_t>(serve::PjlinkRefusal::AddressFull)], 4U);
  EXPECT_GT(by[static_cast<std::size_t>(serve::PjlinkRefusal::CrowdedOut)], 0U);
  EXPECT_EQ(served.logged("PJLink turns a newcomer away: 127.0.0.2 (address_full)"), 1U);
  EXPECT_EQ(served.logged("PJLink turn"), 1U) << "once, not once a newcomer";
}

TEST(PjlinkBounds, WrongDigestsAreAnsweredLateWhileOthersAreServed) {
  serve::PjlinkLimits limits;
  limits.failureDelayMs = 600;
  Server served("secret", limits);
  const quint16 port = served.server.port();
  std::vector<std::unique_ptr<RawClient>> guessers;
  for (int i = 0; i < 3; ++i) {
    guessers.push_back(std::make_unique<RawClient>(port));
    guessers.back()->line();
    guessers.back()->send(std::string(32, 'f') + "%1POWR ?\r");
  }
  RawClient good(port);
  const std::string greeting = good.line();
  good.send(served.digestFor(greeting) + "%1POWR ?\r");
  EXPECT_EQ(good.line(), "%1POWR=0\r");
  EXPECT_EQ(guessers.back()->line(0), "") << "no guesser is answered before its delay";
  for (auto& guesser : guessers) EXPECT_EQ(guesser->rest(), "PJLINK ERRA\r");
  EXPECT_EQ(served.figures.pjlinkRefusedBy[0], 3U);
  EXPECT_EQ(served.log, std::vector<std::string>{"PJLink authentication failed from 127.0.0.1"});
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MERO_TESTS_SANITIZED
#endif
#elif defined(__SANITIZE_ADDRESS__)
#define MERO_TESTS_SANITIZED
#endif
#ifdef MERO_TESTS_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// The service with two descriptors to spare: a third client waits in the kernel while the
// service does not spin on it, and is greeted as soon as the first one leaves.
TEST(PjlinkBounds, OutOfDescriptorsTheServicePausesAccepting) {
  // The sanitizers' runtime opens a pipe to check memory before it trusts an object's type:
  // with no descriptor left it reports objects that are sound as broken, and stops the service.
  if (kSanitized) GTEST_SKIP() << "out of descriptors, the sanitizers' own checks fail";
  // A line that is open: a line being reopened would take descriptors of its own now and then.
  vp::PtyServer projector;
  const std::vector<quint16> ports = FreePorts(2);
  ServeProcess serve(QStringLiteral(MERO_CONTROL_BINARY),
                     "[service]\nmetrics = 127.0.0.1:" + std::to_string(ports[1]) +
                         "\n[hall]\naddress = " + projector.DevicePath() +
                         "\npjlink = 127.0.0.1:" + std::to_string(ports[0]) + "\n");
  ASSERT_TRUE(serve.started()) << serve.log();
  ASSERT_TRUE(serve.logs(" is open")) << serve.log();
  const auto pid = static_cast<pid_t>(serve.pid());
  std::vector<int> open;
  // Every entry, whatever it points at: a descriptor the service inherited may be a file.
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    open.push_back(std::stoi(entry.path().filename().string()));
  }
  // The lowest limit below which two descriptor numbers are free.
  const auto spareBelow = [&](rlim_t limit) {
    return static_cast<long>(limit) -
           std::ranges::count_if(open, [&](int fd) { return std::cmp_less(fd, limit); });
  };
  rlim_t limit = 0;
  while (spareBelow(limit) < 2) ++limit;
  const rlimit lowered{limit, limit};
  ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &lowered, nullptr), 0);

  auto first = std::make_unique<PjlinkProbe>(ports[0]);
  PjlinkProbe second(ports[0]);
  ASSERT_EQ(first->line(), "PJLINK 0\r");
  ASSERT_EQ(second.line(), "PJLINK 0\r");
  PjlinkProbe third(ports[0]);
  EXPECT_TRUE(serve.logs("PJLink stops accepting for a moment: Too many open files"))
      << serve.log();
  EXPECT_EQ(third.line(2500), "") << "no descriptor for it";
  EXPECT_EQ(second.ask("%1NAME ?\r"), "%1NAME=hall\r") << "those in are served";
  first.reset();
  EXPECT_EQ(third.line(10000), "PJLINK 0\r") << serve.log();
  ASSERT_TRUE(serve.logs("PJLink accepts again")) << serve.log();
  std::smatch failed;
  const std::string& log = serve.log();
  ASSERT_TRUE(std::regex_search(log, failed, std::regex(R"(after (\d+) accepts failed)")));
  // A second a try over some 2.5 seconds; a loop that spun would have tried thousands of times.
  EXPECT_LE(std::stoi(failed[1]), 5) << log;
  const std::regex stops("stops accepting");
  const auto told =
      std::distance(std::sregex_iterator(log.begin(), log.end(), stops), std::sregex_iterator());
  EXPECT_EQ(told, 1) << "told once a pause, however often it tried" << log;
  EXPECT_EQ(serve.stop(), 0) << serve.log();
}

}  // namespace
}  // namespace mero::test
