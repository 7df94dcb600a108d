// The panel on a projector behind Debian's ser2net, over raw TCP and over RFC 2217: the real
// window, the real server on loopback ports, the virtual projector on its pseudo-terminal.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <QTest>
#include <chrono>
#include <string>
#include <vector>

#include "line_speed.h"
#include "link/protocol/monitor_text.h"
#include "panel/bindings.h"
#include "panel_on_pty.h"
#include "ser2net.h"

namespace mero::test {
namespace {

using namespace std::chrono_literals;
constexpr int kWaitMs = 5000;

enum class Kind { Raw, Rfc2217 };
constexpr Kind kKinds[] = {Kind::Raw, Kind::Rfc2217};
const char* Name(Kind kind) { return kind == Kind::Raw ? "raw TCP" : "RFC 2217"; }

// The panel with COM1 on the virtual projector through ser2net.
struct NetworkRig {
  std::unique_ptr<Ser2net> server;
  std::unique_ptr<PanelOnPty> rig;

  explicit NetworkRig(Kind kind) {
    auto projector = std::make_unique<vp::PtyServer>();
    server = std::make_unique<Ser2net>(projector->DevicePath());
    const QString address = kind == Kind::Raw ? server->rawAddress() : server->rfc2217Address();
    rig = std::make_unique<PanelOnPty>(std::move(projector), address,
                                       QStringLiteral("/nonexistent/ttyMERO2"));
    rig->window().setWindowHeight(panel::kFullHeight);
  }
  // Clicks and waits until the projector has seen `count` commands in all.
  bool clickAndWait(std::string_view key, std::uint64_t count) {
    rig->click(key);
    return rig->waitFor([&] { return rig->projector->CommandCount() >= count; }, kWaitMs);
  }
};

TEST(Network, EveryKeyAndStatusAsOnALocalPort) {
  for (const Kind kind : kKinds) {
    NetworkRig n(kind);
    ASSERT_TRUE(n.server->started()) << "ser2net did not start";
    PanelOnPty& rig = *n.rig;
    EXPECT_TRUE(rig.boxes.empty()) << Name(kind) << ": " << rig.boxes.front();
    std::uint64_t count = 0;
    for (const panel::OneShotBinding& key : panel::OneShotBindings()) {
      const link::OneShotCommand* command = panel::FindOneShot(key.control);
      ASSERT_NE(command, nullptr) << key.control;
      ASSERT_TRUE(n.clickAndWait(key.control, ++count)) << Name(kind) << " " << key.control;
      EXPECT_EQ(rig.projector->Commands().back().command, command->code)
          << Name(kind) << " " << key.control;
    }
    // The longest reply window (5 s) closes before the status query.
    ASSERT_TRUE(rig.waitFor([&] { return rig.replyWindowClosed(); }, 2 * kWaitMs));
    rig.click("Command44");  // "STATUS"
    EXPECT_TRUE(rig.waitFor([&] { return rig.caption("Label22").starts_with(" "); }, kWaitMs))
        << Name(kind) << ": " << rig.caption("Label12");
    EXPECT_TRUE(rig.boxes.empty()) << Name(kind) << ": " << rig.boxes.front();
  }
}

TEST(Network, AHeldKeyRepeatsAtItsPeriod) {
  for (const Kind kind : kKinds) {
    NetworkRig n(kind);
    ASSERT_TRUE(n.server->started());
    PanelOnPty& rig = *n.rig;
    QTest::mousePress(rig.control("Command1"), Qt::LeftButton);  // VOL "+", 250 ms
    ASSERT_TRUE(rig.waitFor([&] { return rig.projector->CommandCount() >= 5; }, kWaitMs))
        << Name(kind);
    QTest::mouseRelease(rig.control("Command1"), Qt::LeftButton);
    const std::vector<vp::ReceivedCommand> commands = rig.projector->Commands();
    for (std::size_t i = 1; i < commands.size(); ++i) {
      const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(commands[i].at -
                                                                             commands[i - 1].at);
      EXPECT_NEAR(static_cast<double>(gap.count()), 250.0, 60.0) << Name(kind);
      EXPECT_EQ(commands[i].command, "C09");
    }
  }
}

TEST(Network, TheSpeedChoiceSetsTheServersLineOverRfc2217Only) {
  for (const Kind kind : kKinds) {
    NetworkRig n(kind);
    ASSERT_TRUE(n.server->started());
    PanelOnPty& rig = *n.rig;
    ASSERT_TRUE(n.clickAndWait("Command44", 1));  // the server has the device open now
    const std::string device = rig.projector->DevicePath();
    EXPECT_EQ(LineSpeed(device), B19200) << Name(kind);
    rig.click("Command33");  // "COM"
    rig.click("Option10");   // "9600"
    if (kind == Kind::Rfc2217) {
      EXPECT_TRUE(rig.waitFor([&] { return LineSpeed(device) == B9600; }, kWaitMs));
      EXPECT_TRUE(rig.boxes.empty()) << rig.boxes.front();  // the server's answer matched
    } else {
      ASSERT_EQ(rig.boxes.size(), 1u);
      EXPECT_NE(rig.boxes[0].find("raw TCP"), std::string::npos) << rig.boxes[0];
      rig.spin(200);
      EXPECT_EQ(LineSpeed(device), B19200);
    }
  }
}

TEST(Network, EveryByteValueCrossesBothWays) {
  std::string all;
  for (int v = 0; v < 256; ++v) all += static_cast<char>(v);
  for (const Kind kind : kKinds) {
    NetworkRig n(kind);
    ASSERT_TRUE(n.server->started());
    PanelOnPty& rig = *n.rig;
    ASSERT_TRUE(n.clickAndWait("Command44", 1));
    ASSERT_TRUE(rig.waitFor([&] { return rig.replyWindowClosed(); }, kWaitMs));
    rig.projector->ClearRecords();

    ASSERT_TRUE(rig.panel->port().write(all));
    std::string arrived;
    EXPECT_TRUE(rig.waitFor(
        [&] {
          arrived.clear();
          for (const vp::ReceivedChunk& chunk : rig.projector->Chunks()) arrived += chunk.bytes;
          return arrived.size() >= all.size();
        },
        kWaitMs));
    EXPECT_TRUE(arrived == all) << Name(kind) << ": " << arrived.size() << " bytes";

    rig.click("Command17");  // a reply window open, so that what arrives stays in rxBuffer
    ASSERT_TRUE(rig.waitFor([&] { return rig.replyWindowClosed(); }, kWaitMs));
    rig.click("Command17");
    rig.projector->SendRaw(all);
    EXPECT_TRUE(rig.waitFor(
        [&] { return rig.form().state.rxBuffer.find(all) != std::string::npos; }, kWaitMs))
        << Name(kind) << ": " << rig.form().state.rxBuffer.size() << " bytes";
  }
}

TEST(Network, AServerThatGoesAwayIsReportedOnceAndReconnectedByItself) {
  for (const Kind kind : kKinds) {
    NetworkRig n(kind);
    ASSERT_TRUE(n.server->started());
    PanelOnPty& rig = *n.rig;
    QTest::mousePress(rig.control("Command1"), Qt::LeftButton);  // VOL "+", held
    ASSERT_TRUE(rig.waitFor([&] { return rig.projector->CommandCount() >= 2; }, kWaitMs))
        << Name(kind);
    n.server->stop();
    ASSERT_TRUE(rig.waitFor([&] { return !rig.panel->port().isOpen(); }, kWaitMs)) << Name(kind);
    const double cpuBefore = ProcessCpuMs();
    rig.spin(500);
    EXPECT_LT(ProcessCpuMs() - cpuBefore, 250.0) << Name(kind) << ": the panel spins";
    QTest::mouseRelease(rig.control("Command1"), Qt::LeftButton);
    ASSERT_EQ(rig.boxes.size(), 1u) << Name(kind);
    EXPECT_NE(rig.boxes[0].find("was disconnected"), std::string::npos) << rig.boxes[0];

    n.server->start();
    ASSERT_TRUE(n.server->started());
    ASSERT_TRUE(rig.waitFor([&] { return rig.panel->port().isOpen(); }, 2 * kWaitMs)) << Name(kind);
    ASSERT_EQ(rig.boxes.size(), 2u);
    EXPECT_NE(rig.boxes[1].find("is back"), std::string::npos) << rig.boxes[1];
    const std::uint64_t before = rig.projector->CommandCount();
    EXPECT_TRUE(n.clickAndWait("Command44", before + 1)) << Name(kind);
  }
}

TEST(Network, AServerThatNeverAcceptsLeavesTheWindowResponsive) {
  // A socket that listens with no room in its queue and never accepts: connecting hangs.
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  ASSERT_EQ(::listen(listener, 0), 0);
  const QString target = QStringLiteral("rfc2217://127.0.0.1:%1").arg(ntohs(address.sin_port));
  // Fill the queue so that the panel's own connection is left waiting.
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    // Non-blocking: returns at once, connected or still in progress; either takes a place.
    (void)::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    fillers.push_back(fd);
  }

  const auto started = std::chrono::steady_clock::now();
  PanelOnPty rig(std::make_unique<vp::PtyServer>(), target,
                 QStringLiteral("/nonexistent/ttyMERO2"));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2s) << "start-up waited for the network";
  rig.window().setWindowHeight(panel::kFullHeight);
  // The window answers while the connection hangs.
  rig.click("Command44");
  EXPECT_EQ(rig.caption("Label11"), link::MonitorText("CR0\r"));
  rig.click("Command33");
  EXPECT_TRUE(rig.control("Frame8")->isVisible());
  // The time limit ends it with a notice, and the port waits for the server.
  EXPECT_TRUE(rig.waitFor([&] { return !rig.boxes.empty(); }, 2 * kWaitMs));
  EXPECT_FALSE(rig.panel->port().isOpen());
  ASSERT_FALSE(rig.boxes.empty());
  EXPECT_NE(rig.boxes[0].find("could not be reached"), std::string::npos) << rig.boxes[0];

  for (const int fd : fillers) ::close(fd);
  ::close(listener);
}

}  // namespace
}  // namespace mero::test
