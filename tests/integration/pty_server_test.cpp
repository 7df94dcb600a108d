#include "projector/pty_server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "projector/projector.h"

namespace mero::vp {
namespace {

using namespace std::chrono_literals;

const std::string kAckReply = {kAck, kCr};

// ---- The server on a real pseudo-terminal ----

constexpr auto kIoTimeout = 2s;

// The test's end of the line, as a client program opens it.
class Client {
 public:
  explicit Client(const std::string& path)
      : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}
  ~Client() { Close(); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool Write(std::string_view bytes) {
    return ::write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  // Reads until `count` bytes have come or the time is up; returns what came.
  std::string Read(std::size_t count, std::chrono::milliseconds timeout = kIoTimeout) {
    std::string out;
    const auto deadline = Clock::now() + timeout;
    while (out.size() < count && Clock::now() < deadline) {
      pollfd pfd{fd_, POLLIN, 0};
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (::poll(&pfd, 1, static_cast<int>(left.count()) + 1) <= 0) break;
      char buffer[256];
      const ssize_t got = ::read(fd_, buffer, std::min(sizeof buffer, count - out.size()));
      if (got <= 0) break;
      out.append(buffer, static_cast<std::size_t>(got));
    }
    return out;
  }
  // Whatever is waiting right now.
  std::string Pending() {
    char buffer[256];
    const ssize_t got = ::read(fd_, buffer, sizeof buffer);
    return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
  }
  short PollEvents(std::chrono::milliseconds timeout = kIoTimeout) {
    pollfd pfd{fd_, POLLIN, 0};
    return ::poll(&pfd, 1, static_cast<int>(timeout.count())) > 0 ? pfd.revents : short{0};
  }
  int fd() const { return fd_; }

 private:
  int fd_;
};

std::string AllChunks(const PtyServer& server) {
  std::string bytes;
  for (const ReceivedChunk& chunk : server.Chunks()) bytes += chunk.bytes;
  return bytes;
}

TEST(PtyServer, AnswersAQueryAndRecordsIt) {
  PtyServer server;
  Client client(server.DevicePath());
  ASSERT_TRUE(client.IsOpen()) << server.DevicePath();
  const auto before = Clock::now();
  ASSERT_TRUE(client.Write("CR"));
  ASSERT_TRUE(client.Write("0\r"));
  EXPECT_EQ(client.Read(3), "80\r");
  const auto after = Clock::now();

  EXPECT_EQ(AllChunks(server), "CR0\r");
  ASSERT_EQ(server.CommandCount(), 1u);
  const ReceivedCommand command = server.Commands().at(0);
  EXPECT_EQ(command.command, "CR0");
  EXPECT_EQ(command.reply, "80\r");
  EXPECT_FALSE(command.replyDropped);
  EXPECT_GE(command.at, before);
  EXPECT_LE(command.at, after);
  EXPECT_EQ(server.Chunks().back().at, command.at);  // timed by the chunk holding its CR
}

TEST(PtyServer, KeepsOnlyTheLatestRecords) {
  ServerOptions options;
  options.maxRecords = 2;
  PtyServer server(options);
  Client client(server.DevicePath());
  for (std::string_view command : {"C05\r", "C06\r", "C07\r"}) {
    ASSERT_TRUE(client.Write(command));
    ASSERT_EQ(client.Read(2), kAckReply) << command;
  }
  EXPECT_EQ(server.CommandCount(), 3u);
  const auto commands = server.Commands();
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0].command, "C06");
  EXPECT_EQ(commands[1].command, "C07");
  EXPECT_LE(server.Chunks().size(), 2u);
  server.ClearRecords();
  EXPECT_TRUE(server.Commands().empty());
  EXPECT_TRUE(server.Chunks().empty());
}

TEST(PtyServer, ProjectorStateIsShared) {
  PtyServer server;
  server.WithProjector(
      [](Projector& projector, Ms) { projector.Settings().pressureReading = 1000; });
  Client client(server.DevicePath());
  ASSERT_TRUE(client.Write("C07\rCR1\rCR PRESSURE\r"));
  EXPECT_EQ(client.Read(9), kAckReply + "3\r1000\r");
  int input = 0;
  server.WithProjector([&](Projector& projector, Ms) { input = projector.Input(); });
  EXPECT_EQ(input, 3);
}

// Replies cannot leave before they are due, so lower bounds on their arrival are safe to check.
TEST(PtyServer, DelaysPacesAndSplitsReplies) {
  constexpr auto kDelay = 120ms;
  constexpr auto kGap = 60ms;
  constexpr int kBaud = 1200;  // 8.3 ms a byte
  PtyServer server;
  Client client(server.DevicePath());

  server.SetReplyDelay(kDelay);
  auto sent = Clock::now();
  ASSERT_TRUE(client.Write("CR0\r"));
  EXPECT_EQ(client.Read(3), "80\r");
  EXPECT_GE(Clock::now() - sent, kDelay);
  server.SetReplyDelay(0ms);

  server.SplitReplies(1, kGap);
  sent = Clock::now();
  ASSERT_TRUE(client.Write("CR0\r"));
  EXPECT_EQ(client.Read(3), "80\r");
  EXPECT_GE(Clock::now() - sent, 2 * kGap);
  server.SplitReplies(0, 0ms);

  server.SetBaud(kBaud);
  const std::string model = ProjectorSettings{}.model + kCr;
  sent = Clock::now();
  ASSERT_TRUE(client.Write("CR9\r"));
  EXPECT_EQ(client.Read(model.size()), model);
  const auto byteTime = std::chrono::nanoseconds(10'000'000'000LL / kBaud);
  EXPECT_GE(Clock::now() - sent, static_cast<long>(model.size() - 1) * byteTime);
}

TEST(PtyServer, DroppedRepliesNeverReachTheLine) {
  PtyServer server;
  Client client(server.DevicePath());
  server.DropNextReply();
  ASSERT_TRUE(client.Write("CR0\rCR1\r"));
  EXPECT_EQ(client.Read(2), "1\r");  // the first data on the line is the second reply

  server.DropAllReplies(true);
  ASSERT_TRUE(client.Write("CR0\rC0B\r"));
  ASSERT_TRUE(server.WaitForCommands(4, kIoTimeout));
  server.DropAllReplies(false);
  ASSERT_TRUE(client.Write("CRA\r"));
  EXPECT_EQ(client.Read(3), "FF\r");

  const auto commands = server.Commands();
  ASSERT_EQ(commands.size(), 5u);
  const bool dropped[] = {true, false, true, true, false};
  for (std::size_t i = 0; i < commands.size(); ++i) {
    EXPECT_EQ(commands[i].replyDropped, dropped[i]) << commands[i].command;
  }
  EXPECT_EQ(commands[3].reply, kAckReply);  // the projector still acted on it
}

TEST(PtyServer, NoiseComesAndStops) {
  constexpr std::size_t kBurst = 64;
  PtyServer server;
  Client client(server.DevicePath());
  server.SendNoise(kBurst);
  EXPECT_EQ(client.Read(kBurst).size(), kBurst);

  constexpr std::size_t kNoise = 8;
  server.StartNoise(kNoise, 5ms);
  EXPECT_EQ(client.Read(3 * kNoise).size(), 3 * kNoise);
  server.StopNoise();
  // Noise queued before the stop leaves before this reply; nothing follows it.
  ASSERT_TRUE(client.Write("CR0\r"));
  std::string tail;
  while (!tail.ends_with("80\r")) {
    const std::string more = client.Read(1);
    ASSERT_FALSE(more.empty()) << "no reply after the noise";
    tail += more;
  }
  ASSERT_TRUE(client.Write("CR1\r"));
  EXPECT_EQ(client.Read(2), "1\r");
  EXPECT_EQ(client.Pending(), "");
}

// Output that the line cannot carry is not stored without end.
TEST(PtyServer, OutputBeyondTheQueueLimitIsDropped) {
  constexpr int kSlowBaud = 300;
  PtyServer server;
  Client client(server.DevicePath());
  server.SetBaud(kSlowBaud);
  server.SendNoise(std::size_t{1} << 20);
  ASSERT_TRUE(client.Write("CR0\r"));
  EXPECT_EQ(client.Read(3), "80\r");
}

TEST(PtyServer, HangUpIsSeenAndTheLineComesBackUnderTheLink) {
  char dir[] = "/tmp/vp-test-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  ServerOptions options;
  options.linkPath = std::string(dir) + "/ttyPROJ";
  {
    PtyServer server(options);
    const std::string first = server.DevicePath();
    EXPECT_EQ(std::filesystem::read_symlink(options.linkPath), first);
    Client client(options.linkPath);
    ASSERT_TRUE(client.Write("C00\r"));
    ASSERT_EQ(client.Read(2), kAckReply);

    server.HangUp();
    EXPECT_EQ(server.DevicePath(), "");
    EXPECT_NE(client.PollEvents() & (POLLHUP | POLLERR), 0);
    char byte = 0;
    EXPECT_LE(::read(client.fd(), &byte, 1), 0);

    ASSERT_TRUE(server.ComeBack());
    const std::string second = server.DevicePath();
    EXPECT_FALSE(second.empty());
    EXPECT_EQ(std::filesystem::read_symlink(options.linkPath), second);
    Client again(options.linkPath);
    ASSERT_TRUE(again.Write("CR0\r"));
    EXPECT_EQ(again.Read(3), "40\r");  // the projector kept warming up meanwhile
    EXPECT_TRUE(server.ComeBack());    // already back: nothing changes
    EXPECT_EQ(server.DevicePath(), second);
  }
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(options.linkPath)));
  std::filesystem::remove_all(dir);
}

TEST(PtyServer, StoppingWithRepliesQueuedClosesTheLine) {
  auto server = std::make_unique<PtyServer>();
  Client client(server->DevicePath());
  server->SetReplyDelay(60s);
  ASSERT_TRUE(client.Write("CR0\r"));
  ASSERT_TRUE(server->WaitForCommands(1, kIoTimeout));
  server.reset();
  EXPECT_NE(client.PollEvents() & (POLLHUP | POLLERR), 0);
  EXPECT_EQ(client.Pending(), "");
}

double ProcessCpuMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// A closed client or a dead line must leave the server thread asleep. Checked on CPU time
// used over a short wait, not on how long anything took.
TEST(PtyServer, IdleWithoutClientOrLineUsesNoCpu) {
  constexpr auto kWatch = 150ms;
  constexpr double kBudgetMs = 30;
  PtyServer server;
  {
    Client client(server.DevicePath());
    ASSERT_TRUE(client.Write("CR0\r"));
    ASSERT_EQ(client.Read(3), "80\r");
  }
  double cpu = ProcessCpuMs();
  ::poll(nullptr, 0, static_cast<int>(kWatch.count()));
  EXPECT_LT(ProcessCpuMs() - cpu, kBudgetMs) << "client closed";

  server.HangUp();
  cpu = ProcessCpuMs();
  ::poll(nullptr, 0, static_cast<int>(kWatch.count()));
  EXPECT_LT(ProcessCpuMs() - cpu, kBudgetMs) << "line hung up";

  ASSERT_TRUE(server.ComeBack());
  Client client(server.DevicePath());
  ASSERT_TRUE(client.Write("CR0\r"));
  EXPECT_EQ(client.Read(3), "80\r");
}

}  // namespace
}  // namespace mero::vp
