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

#include "link/monitor_text.h"
#include "panel/bindings.h"
#include "virtual_projector/projector.h"
#include "virtual_projector/pty_server.h"

namespace mero::vp {
namespace {

using namespace std::chrono_literals;

const std::string kAckReply = {kAck, kCr};
const std::string kNakReply = {kNak, kCr};

constexpr Ms kWarmUp = 1000;
constexpr Ms kCoolDown = 2000;

ProjectorSettings Quick() {
  ProjectorSettings settings;
  settings.warmUpMs = kWarmUp;
  settings.coolDownMs = kCoolDown;
  return settings;
}

// A projector brought into `state` at time kSettled.
constexpr Ms kSettled = 10'000;
Projector InState(PowerState state, ProjectorSettings settings = Quick()) {
  Projector projector(std::move(settings));
  switch (state) {
    case PowerState::StandBy:
      break;
    case PowerState::CountDown:
      projector.Handle("C00", kSettled);
      break;
    case PowerState::On:
      projector.Handle("C00", kSettled - kWarmUp);
      break;
    case PowerState::CoolingDown:
      projector.Handle("C00", 0);
      projector.Handle("C01", kSettled);
      break;
  }
  EXPECT_EQ(projector.Power(kSettled), state);
  return projector;
}

constexpr PowerState kStates[] = {PowerState::StandBy, PowerState::CountDown, PowerState::On,
                                  PowerState::CoolingDown};

TEST(Projector, StatusQueriesInEachPowerState) {
  struct Row {
    std::string_view query;
    std::string replies[4];  // stand-by, count down, on, cooling down; CR added below
  };
  const Row rows[] = {
      {"CR0", {"80", "40", "00", "20"}},
      {"CR1", {"1", "1", "1", "1"}},
      {"CR3", {"01234", "01234", "01234", "01234"}},
      {"CR4", {"11", "11", "11", "11"}},
      {"CR6", {"+25.5  30.1 +28.0", "+25.5  30.1 +28.0", "+25.5  30.1 +28.0", "+25.5  30.1 +28.0"}},
      {"CR7", {"00", "03", "03", "00"}},
      {"CR9", {"QM50 VIRTUAL 1.40", "QM50 VIRTUAL 1.40", "QM50 VIRTUAL 1.40", "QM50 VIRTUAL 1.40"}},
      {"CRA", {"FF", "00", "00", "00"}},
      {"CR PRESSURE", {"512", "512", "512", "512"}},
  };
  ProjectorSettings settings = Quick();
  settings.lampHours = 1234;
  for (int s = 0; s < 4; ++s) {
    Projector projector = InState(kStates[s], settings);
    for (const Row& row : rows) {
      EXPECT_EQ(projector.Handle(row.query, kSettled), row.replies[s] + kCr)
          << row.query << " in state " << s;
    }
  }
}

TEST(Projector, PowerCycleFollowsTheClock) {
  struct Step {
    Ms at;
    std::string_view command;
    std::string reply;
  };
  const Step steps[] = {
      {0, "CR0", "80\r"},     {0, "C00", kAckReply},    {0, "CR0", "40\r"},
      {999, "CR0", "40\r"},   {1000, "CR0", "00\r"},    {1500, "C00", kAckReply},
      {1500, "CR0", "00\r"},  {5000, "C01", kAckReply}, {5000, "CR0", "20\r"},
      {6999, "CR0", "20\r"},  {7000, "CR0", "80\r"},    {7000, "C01", kAckReply},
      {7000, "CR0", "80\r"},  {8000, "C00", kAckReply}, {8500, "C01", kAckReply},
      {8500, "CR0", "20\r"},  {9000, "C00", kAckReply}, {9000, "CR0", "20\r"},
      {10500, "CR0", "80\r"}, {100, "CR0", "80\r"},  // an earlier time counts as the latest
  };
  Projector projector(Quick());
  for (const Step& step : steps) {
    EXPECT_EQ(projector.Handle(step.command, step.at), step.reply)
        << step.command << " at " << step.at;
  }
}

TEST(Projector, ZeroWarmUpIsOnAtOnce) {
  ProjectorSettings settings;
  settings.warmUpMs = 0;
  settings.coolDownMs = 0;
  Projector projector(settings);
  projector.Handle("C00", 5);
  EXPECT_EQ(projector.Handle("CR0", 5), "00\r");
  projector.Handle("C01", 6);
  EXPECT_EQ(projector.Handle("CR0", 6), "80\r");
}

TEST(Projector, LampHoursGrowOnlyWhileOn) {
  ProjectorSettings settings = Quick();
  settings.lampHours = 10;
  settings.lampHourMs = 1000;
  Projector projector(settings);
  EXPECT_EQ(projector.LampHours(50'000), 10);  // stand-by
  projector.Handle("C00", 50'000);
  EXPECT_EQ(projector.LampHours(50'999), 10);  // count down
  EXPECT_EQ(projector.LampHours(51'999), 10);  // on for 999 ms
  EXPECT_EQ(projector.Handle("CR3", 53'000), "00012\r");
  projector.Handle("C01", 53'500);
  EXPECT_EQ(projector.LampHours(90'000), 12);  // cooling down, then stand-by
  projector.Handle("C00", 90'000);
  EXPECT_EQ(projector.Handle("CR3", 91'500), "00013\r");  // 3 s on in all
}

TEST(Projector, LampHoursStopAtFiveDigits) {
  ProjectorSettings settings = Quick();
  settings.lampHours = 99'998;
  settings.lampHourMs = 1;
  Projector projector(settings);
  projector.Handle("C00", 0);
  EXPECT_EQ(projector.Handle("CR3", kWarmUp + 10), "99999\r");
}

TEST(Projector, InputAndMuteFollowTheirKeys) {
  struct Step {
    std::string_view command;
    std::string_view query;
    std::string reply;
  };
  const Step steps[] = {
      {"C06", "CR1", "2\r"},  {"C07", "CR1", "3\r"},  {"C05", "CR1", "1\r"},
      {"C0B", "CRA", "02\r"}, {"C0D", "CRA", "03\r"}, {"C0C", "CRA", "01\r"},
      {"C0E", "CRA", "00\r"}, {"C0D", "CRA", "01\r"},
  };
  Projector projector = InState(PowerState::On);
  for (const Step& step : steps) {
    EXPECT_EQ(projector.Handle(step.command, kSettled), kAckReply) << step.command;
    EXPECT_EQ(projector.Handle(step.query, kSettled), step.reply) << "after " << step.command;
  }
  projector.Settings().signalPresent = false;
  EXPECT_EQ(projector.Handle("CRA", kSettled), "80\r");
  projector.Handle("C01", kSettled);
  EXPECT_EQ(projector.Handle("CRA", kSettled + kCoolDown), "FF\r");
}

TEST(Projector, ReversalAndLampModeReplies) {
  struct Reversal {
    bool topBottom, leftRight;
    std::string reply;
  };
  for (const Reversal& r : {Reversal{false, false, "11\r"}, Reversal{true, false, "10\r"},
                            Reversal{false, true, "01\r"}, Reversal{true, true, "00\r"}}) {
    ProjectorSettings settings;
    settings.flipTopBottom = r.topBottom;
    settings.flipLeftRight = r.leftRight;
    EXPECT_EQ(Projector(settings).Handle("CR4", 0), r.reply) << r.topBottom << r.leftRight;
  }
  struct Lamp {
    LampMode mode;
    std::string off, lit;
  };
  for (const Lamp& l :
       {Lamp{LampMode::TwoLamps, "00\r", "03\r"}, Lamp{LampMode::OnlyLamp1, "10\r", "11\r"},
        Lamp{LampMode::OnlyLamp2, "20\r", "22\r"}}) {
    ProjectorSettings settings = Quick();
    settings.lampMode = l.mode;
    EXPECT_EQ(InState(PowerState::StandBy, settings).Handle("CR7", kSettled), l.off);
    EXPECT_EQ(InState(PowerState::On, settings).Handle("CR7", kSettled), l.lit);
  }
}

// The panel reads the three temperatures at fixed places of the monitor text of the reply.
TEST(Projector, TemperaturesLandWhereThePanelReadsThem) {
  struct Row {
    double t1, t2, t3;
    std::string p1, p2, p3;
  };
  const Row rows[] = {
      {25.5, 30.1, 28.0, " + 2 5 . 5", " 3 0 . 1", " + 2 8 . 0"},
      {-5.0, 7.0, 0.0, " - 0 5 . 0", " 0 7 . 0", " + 0 0 . 0"},
      {150.0, 150.0, -150.0, " + 9 9 . 9", " 9 9 . 9", " - 9 9 . 9"},
      {20.0, -3.0, 20.0, " + 2 0 . 0", " 0 0 . 0", " + 2 0 . 0"},
  };
  for (const Row& row : rows) {
    ProjectorSettings settings;
    settings.temperature1 = row.t1;
    settings.temperature2 = row.t2;
    settings.temperature3 = row.t3;
    const std::string reply = Projector(settings).Handle("CR6", 0);
    ASSERT_EQ(reply.size(), 18u) << reply;
    const std::string shown = link::MonitorText(reply);
    EXPECT_EQ(shown.substr(0, 10), row.p1) << reply;
    EXPECT_EQ(shown.substr(14, 8), row.p2) << reply;
    EXPECT_EQ(shown.substr(24, 10), row.p3) << reply;
  }
}

TEST(Projector, EveryKeyOfThePanelGetsAnAck) {
  std::vector<std::string_view> codes = {"C89", "C1C"};  // A-IMAGE and MENU "ON"
  for (const auto& key : panel::OneShotBindings()) {
    if (!key.code.starts_with("CR")) codes.push_back(key.code);
  }
  for (const auto& key : panel::RepeatBindings()) codes.push_back(key.code);
  for (PowerState state : kStates) {
    Projector projector = InState(state);
    for (std::string_view code : codes) {
      EXPECT_EQ(projector.Handle(code, kSettled), kAckReply) << code;
    }
  }
}

TEST(Projector, UnknownTextGetsANakAndChangesNothing) {
  Projector projector = InState(PowerState::On);
  for (std::string_view text :
       {"", "C99", "C0", "c00", "cr0", "CR0 ", " CR0", "CR2", "CRB", "CR PRESSURE ", "CR pressure",
        "CF LOGO", "CF LOGO off", "CF  LOGO OFF", "C00\n", "C01x", "CF KEYDIS"}) {
    EXPECT_EQ(projector.Handle(text, kSettled), kNakReply) << '"' << text << '"';
  }
  EXPECT_EQ(projector.Handle("CR0", kSettled), "00\r");
}

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
    return ::poll(&pfd, 1, static_cast<int>(timeout.count())) > 0 ? pfd.revents : 0;
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

  server.StartNoise(8, 5ms);
  EXPECT_EQ(client.Read(3 * 8).size(), 3 * 8u);
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
