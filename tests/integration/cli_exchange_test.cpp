// One exchange and a fleet of them on the real lines: virtual projectors on pseudo-terminals and
// small servers on loopback ports that say what a device server may say.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cli/exchange.h"
#include "cli/fleet.h"
#include "cli/verdict.h"
#include "link/lines/qt_port_discovery.h"
#include "projector/pty_server.h"
#include "ser2net.h"

namespace mero::test {
namespace {

using namespace std::chrono_literals;
using cli::Outcome;

constexpr int kWaitMs = 15000;
const link::Bytes kStatusQuery = "CR0\r";

// The status query with a reply window.
cli::ExchangeSetup StatusQuery(int windowMs = 500) {
  return {*link::ParseSettings("19200,N,8,1"), kStatusQuery, windowMs, nullptr};
}

cli::Target TargetOf(const std::string& address) {
  return {{address, link::StableNameOf(address), false}, address};
}

// Runs one exchange to its end.
Outcome Ask(const std::string& address, const cli::ExchangeSetup& setup) {
  bool done = false;
  const cli::Target target = TargetOf(address);
  cli::Exchange exchange(target.device, address, setup, [&] { done = true; });
  exchange.start();
  EXPECT_TRUE(QTest::qWaitFor([&] { return done; }, kWaitMs)) << address;
  return exchange.outcome();
}

std::string Address(const QTcpServer& server) {
  return "tcp://127.0.0.1:" + std::to_string(server.serverPort());
}

// The lowest descriptor number free now: below it every one is taken, so a limit there
// leaves this process none.
int LowestFreeDescriptor() {
  const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ::close(fd);
  return fd;
}

// Lowers the soft descriptor limit while it lives.
class DescriptorLimit {
 public:
  explicit DescriptorLimit(rlim_t limit) {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit lowered = saved_;
    lowered.rlim_cur = limit;
    ok_ = ::setrlimit(RLIMIT_NOFILE, &lowered) == 0;
  }
  ~DescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &saved_); }
  bool ok() const { return ok_; }

 private:
  rlimit saved_{};
  bool ok_ = false;
};

TEST(CliExchange, AFloodIsCutAtTheBound) {
  vp::PtyServer server;
  server.DropAllReplies(true);
  std::atomic<bool> stop = false;
  // Never a CR: the reply would end there.
  std::thread flood([&] {
    while (!stop) {
      server.SendRaw(std::string(std::size_t{16} * 1024, 'A'));
      std::this_thread::sleep_for(1ms);
    }
  });
  const Outcome outcome = Ask(server.DevicePath(), StatusQuery(2000));
  stop = true;
  flood.join();
  EXPECT_EQ(outcome.stage, Outcome::Stage::Sent);
  EXPECT_FALSE(outcome.failure.has_value());
  EXPECT_TRUE(outcome.cut);
  EXPECT_EQ(outcome.received, std::string(cli::kReplyLimit, 'A'));
}

TEST(CliExchange, AConnectionNotMadeSentNothing) {
  const quint16 port = Ser2net::FreePort();
  const Outcome outcome = Ask("tcp://127.0.0.1:" + std::to_string(port), StatusQuery());
  EXPECT_EQ(outcome.stage, Outcome::Stage::Connecting);
  ASSERT_TRUE(outcome.failure.has_value());
  EXPECT_EQ(outcome.failure->kind, link::LineFailure::Kind::Unreachable);
  EXPECT_EQ(outcome.received, "");
}

// ser2net says why it refuses a client before it closes the connection.
TEST(CliExchange, ADeviceServersOwnRefusalIsKept) {
  QTcpServer server;
  ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
  const QByteArray refusal = "Port's device already in use\r\n";
  QObject::connect(&server, &QTcpServer::newConnection, [&] {
    QTcpSocket* client = server.nextPendingConnection();
    client->write(refusal);
    // Closed once the client's command is in, as a refusal that crossed it would be.
    QObject::connect(client, &QTcpSocket::readyRead, client, [client] {
      client->readAll();
      client->disconnectFromHost();
    });
  });
  const Outcome outcome = Ask(Address(server), StatusQuery());
  EXPECT_EQ(outcome.stage, Outcome::Stage::Sent);
  ASSERT_TRUE(outcome.failure.has_value());
  EXPECT_EQ(outcome.failure->kind, link::LineFailure::Kind::Lost);
  EXPECT_EQ(outcome.received, refusal.toStdString());
}

// A telnet COM-PORT answer for `command` (the client's code + 100) with `value`.
QByteArray ComPortAnswer(char command, const QByteArray& value) {
  const char start[] = {'\xFF', '\xFA', 44, command};  // IAC SB COM-PORT
  const char end[] = {'\xFF', '\xF0'};                 // IAC SE
  return QByteArray(start, sizeof start) + value + QByteArray(end, sizeof end);
}

TEST(CliExchange, ALineSetOtherwiseThanAskedIsTold) {
  QTcpServer server;
  ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
  QObject::connect(&server, &QTcpServer::newConnection, [&] {
    QTcpSocket* client = server.nextPendingConnection();
    auto heard = std::make_shared<QByteArray>();
    QObject::connect(client, &QTcpSocket::readyRead, client, [client, heard] {
      *heard += client->readAll();
      if (!heard->contains(QByteArray::fromStdString(kStatusQuery))) return;
      heard->clear();
      // The line stays at 9600 whatever was asked; the projector answers all the same.
      client->write(ComPortAnswer(101, QByteArray("\x00\x00\x25\x80", 4)) +
                    ComPortAnswer(102, "\x08") + ComPortAnswer(103, "\x01") +
                    ComPortAnswer(104, "\x01") + "80\r");
    });
  });
  const Outcome outcome =
      Ask("rfc2217://127.0.0.1:" + std::to_string(server.serverPort()), StatusQuery());
  EXPECT_EQ(outcome.stage, Outcome::Stage::Sent);
  EXPECT_EQ(outcome.received, "80\r");
  EXPECT_NE(outcome.lineNotice.find("the speed 9600 instead of 19200"), std::string::npos)
      << outcome.lineNotice;
}

TEST(CliExchange, NoDescriptorLeftIsToldAsSuch) {
  vp::PtyServer server;
  const int lowest = LowestFreeDescriptor();
  bool done = false;
  const cli::Target target = TargetOf(server.DevicePath());
  cli::Exchange exchange(target.device, target.address, StatusQuery(), [&] { done = true; });
  {
    const DescriptorLimit limit(static_cast<rlim_t>(lowest));
    ASSERT_TRUE(limit.ok());
    exchange.start();
  }
  ASSERT_TRUE(QTest::qWaitFor([&] { return done; }, kWaitMs));
  EXPECT_EQ(exchange.outcome().stage, Outcome::Stage::Opening);
  EXPECT_TRUE(exchange.outcome().failure.has_value());
  EXPECT_EQ(exchange.outcome().descriptorLimit, lowest);
  EXPECT_EQ(server.CommandCount(), 0u);
}

std::vector<std::unique_ptr<vp::PtyServer>> Projectors(std::size_t count) {
  std::vector<std::unique_ptr<vp::PtyServer>> fleet;
  for (std::size_t i = 0; i < count; ++i) fleet.push_back(std::make_unique<vp::PtyServer>());
  return fleet;
}

std::vector<cli::Target> TargetsOf(const std::vector<std::unique_ptr<vp::PtyServer>>& fleet) {
  std::vector<cli::Target> targets;
  for (const auto& projector : fleet) targets.push_back(TargetOf(projector->DevicePath()));
  return targets;
}

// Asked with the limit the fleet sets for itself, a fleet larger than the descriptors allow at
// once is asked whole; all at once, it runs out of them.
TEST(CliFleet, AFleetLargerThanTheDescriptorsAllowIsAskedWithinThem) {
  const auto fleet = Projectors(40);
  const std::vector<cli::Target> targets = TargetsOf(fleet);
  const int lowest = LowestFreeDescriptor();
  constexpr std::size_t kRoom = 4;
  const auto limit = static_cast<std::size_t>(lowest) + cli::kDescriptorReserve +
                     kRoom * cli::kDescriptorsPerExchange;
  const auto ask = [&](std::size_t inFlight) {
    std::vector<cli::Result> results;
    const DescriptorLimit lowered(limit);
    EXPECT_TRUE(lowered.ok());
    cli::AskFleet(
        targets, StatusQuery(), {.inFlight = inFlight}, [&](std::size_t index, const Outcome& o) {
          EXPECT_EQ(index, results.size());
          results.push_back(cli::Judge({"status", "CR0", kStatusQuery, 500, true}, "", o).result);
        });
    return results;
  };
  const std::size_t inFlight = cli::InFlightFor(limit, static_cast<std::size_t>(lowest));
  EXPECT_EQ(inFlight, kRoom);
  EXPECT_EQ(ask(inFlight), std::vector<cli::Result>(targets.size(), cli::Result::Decoded));
  const std::vector<cli::Result> allAtOnce = ask(targets.size());
  EXPECT_NE(std::ranges::count(allAtOnce, cli::Result::NoPort), 0);
}

// Replies that came before an earlier projector's are held for the output order; past the
// bound on what is held, no further exchange starts until the earlier one is out.
TEST(CliFleet, OutcomesComeInOrderAndWhatWaitsForThemIsBounded) {
  const auto fleet = Projectors(6);
  fleet[0]->DropAllReplies(true);
  const std::vector<cli::Target> targets = TargetsOf(fleet);
  std::vector<std::size_t> order;
  vp::Clock::time_point firstOut;
  cli::AskFleet(targets, StatusQuery(), {.inFlight = 3, .heldBytes = 1},
                [&](std::size_t index, const Outcome& outcome) {
                  if (index == 0) firstOut = vp::Clock::now();
                  order.push_back(index);
                  EXPECT_EQ(outcome.received.empty(), index == 0) << index;
                });
  EXPECT_EQ(order, (std::vector<std::size_t>{0, 1, 2, 3, 4, 5}));
  for (std::size_t i = 1; i < fleet.size(); ++i) {
    ASSERT_EQ(fleet[i]->CommandCount(), 1u) << i;
    // The first three start together; the rest wait for the silent one's window to close.
    EXPECT_EQ(fleet[i]->Commands().front().at > firstOut, i >= 3) << i;
  }
}

}  // namespace
}  // namespace mero::test
