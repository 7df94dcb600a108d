#include "projector/pty_server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
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
  explicit Client(int fd) : fd_(fd) {}  // takes it over
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

// ---- An existing device ----

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() : path_(fs::temp_directory_path() / "vp-test-XXXXXX") {
    std::string name = path_.string();
    path_ = ::mkdtemp(name.data()) != nullptr ? fs::path(name) : fs::path();
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  bool Made() const { return !path_.empty(); }
  std::string operator/(std::string_view name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

// A pseudo-terminal pair of the test's own: its slave stands for an existing device such as a
// USB adapter, and the test talks on the master as the far end of the cable.
struct PtyPair {
  PtyPair() : master(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
    std::array<char, 128> name{};
    if (master.IsOpen() && ::grantpt(master.fd()) == 0 && ::unlockpt(master.fd()) == 0 &&
        ::ptsname_r(master.fd(), name.data(), name.size()) == 0) {
      slavePath = name.data();
    }
  }
  Client master;
  std::string slavePath;  // empty when the pair could not be made
};

ServerOptions OnDevice(const std::string& path, int baud = 0) {
  ServerOptions options;
  options.devicePath = path;
  options.baud = baud;
  return options;
}

// The slave starts as a fresh terminal does, canonical and echoing: an answer without an echo
// and with its CR untranslated shows the server made it raw.
TEST(PtyServer, ServesAnExistingDeviceRawAtItsSpeedAndKeepsItsOwn) {
  const struct {
    int baud;
    speed_t speed;
  } cases[] = {{0, B19200}, {9600, B9600}};
  for (const auto& c : cases) {
    PtyPair pair;
    ASSERT_FALSE(pair.slavePath.empty());
    PtyServer server(OnDevice(pair.slavePath, c.baud));
    termios line{};
    ASSERT_EQ(::tcgetattr(pair.master.fd(), &line), 0);
    EXPECT_EQ(::cfgetospeed(&line), c.speed) << c.baud;
    EXPECT_EQ(::cfgetispeed(&line), c.speed) << c.baud;
    ASSERT_TRUE(pair.master.Write("CR0\r"));
    EXPECT_EQ(pair.master.Read(3), "80\r");
    EXPECT_THROW(PtyServer{OnDevice(pair.slavePath)}, Refused) << "a second server on it";
  }
  TempDir dir;
  ASSERT_TRUE(dir.Made());
  std::ofstream(dir / "file") << "not a terminal";
  EXPECT_THROW(PtyServer{OnDevice(dir / "file")}, Refused);
}

// Stands for an adapter pulled out and plugged back in under the same name: the name is a link
// the test moves from one pair to the next.
TEST(PtyServer, AServedDeviceThatGoesAwayIsOpenedAgain) {
  TempDir dir;
  ASSERT_TRUE(dir.Made());
  const std::string name = dir / "ttyUSB1";
  auto first = std::make_unique<PtyPair>();
  fs::create_symlink(first->slavePath, name);
  PtyServer server(OnDevice(name));
  ASSERT_TRUE(first->master.Write("C07\r"));
  ASSERT_EQ(first->master.Read(2), kAckReply);

  first.reset();
  PtyPair second;
  fs::remove(name);
  fs::create_symlink(second.slavePath, name);
  // Bytes that come before the server has the device again are flushed, so ask until answered.
  std::string answers;
  for (const auto end = Clock::now() + 10s; !answers.ends_with("3\r") && Clock::now() < end;) {
    ASSERT_TRUE(second.master.Write("CR1\r"));
    answers += second.master.Read(2, 200ms);
  }
  EXPECT_TRUE(answers.ends_with("3\r")) << "not served again: " << answers;

  server.HangUp();
  ASSERT_TRUE(server.ComeBack());
  ASSERT_TRUE(second.master.Write("CR1\r"));
  EXPECT_EQ(second.master.Read(2), "3\r");
}

// ---- Whose link it is ----

bool Exists(const std::string& path) { return fs::exists(fs::symlink_status(path)); }

TEST(PtyServer, ALinkInUseIsRefusedAndOneRepointedIsKept) {
  TempDir dir;
  ASSERT_TRUE(dir.Made());
  ServerOptions options;
  options.linkPath = dir / "ttyPROJ";
  const std::string elsewhere = dir / "adapter";
  {
    PtyServer owner(options);
    try {
      PtyServer second(options);
      ADD_FAILURE() << "a second server took the link";
    } catch (const Refused& refused) {
      EXPECT_NE(std::string(refused.what()).find("process " + std::to_string(::getpid())),
                std::string::npos)
          << refused.what();
    }
    EXPECT_EQ(fs::read_symlink(options.linkPath), owner.DevicePath());
    fs::remove(options.linkPath);
    fs::create_symlink(elsewhere, options.linkPath);
  }
  EXPECT_EQ(fs::read_symlink(options.linkPath), elsewhere);
  EXPECT_FALSE(Exists(options.linkPath + ".lock"));
}

// What a server finds at its link's path before it starts.
TEST(PtyServer, AnEarlierLinkIsTakenOverOnlyWhenNoOneHasIt) {
  const struct {
    const char* what;
    bool link, targetThere, lockFileLeft, takenOver;
  } cases[] = {
      {"a killed server's link", true, true, true, true},
      {"a link that leads nowhere", true, false, false, true},
      {"someone else's link", true, true, false, false},
      {"a file beside a killed server's lock", false, true, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    ASSERT_TRUE(dir.Made());
    ServerOptions options;
    options.linkPath = dir / "ttyPROJ";
    const std::string target = dir / "target";
    if (c.targetThere) std::ofstream(target) << "x";
    if (c.link) fs::create_symlink(target, options.linkPath);
    if (!c.link) std::ofstream(options.linkPath) << "x";
    if (c.lockFileLeft) std::ofstream(options.linkPath + ".lock") << "999999\n";

    if (c.takenOver) {
      PtyServer server(options);
      EXPECT_EQ(fs::read_symlink(options.linkPath), server.DevicePath());
    } else {
      EXPECT_THROW(PtyServer{options}, Refused);
      EXPECT_EQ(fs::is_symlink(fs::symlink_status(options.linkPath)), c.link);
    }
    EXPECT_EQ(Exists(options.linkPath), !c.takenOver);
    EXPECT_FALSE(Exists(options.linkPath + ".lock"));
  }
}

}  // namespace
}  // namespace mero::vp
