// The panel under a failing line: a far end that hangs up, floods or sends any byte, a port
// that is missing or held by another program. Every wait is bounded.

#include <gtest/gtest.h>
#include <unistd.h>

#include <QSerialPort>
#include <QTest>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "link/protocol/monitor_text.h"
#include "panel_on_pty.h"

namespace mero::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kWaitMs = 3000;
// An idle event loop uses a small share of one core; a spinning one uses all of it.
constexpr double kIdleCpuShare = 0.3;
constexpr int kIdleSpinMs = 600;

std::string Monitor(std::string_view text) { return link::MonitorText(text); }

std::string NotSent(std::string_view text) {
  return std::string(panel::kNotSentMark) + link::MonitorText(text);
}

bool Contains(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

constexpr int kByteValues = 256;

std::string AllByteValues() {
  std::string bytes;
  for (int value = 0; value < kByteValues; ++value) bytes += static_cast<char>(value);
  return bytes;
}

std::string UniqueLinkPath(std::string_view what) {
  return "/tmp/mero-" + std::string(what) + "-" + std::to_string(::getpid());
}

// CPU time the process used while the event loop ran for a while, as a share of that time.
double CpuShareWhileSpinning(PanelOnPty& rig, int ms) {
  const double cpuBefore = ProcessCpuMs();
  const auto wallBefore = Clock::now();
  rig.spin(ms);
  const double wallMs =
      std::chrono::duration<double, std::milli>(Clock::now() - wallBefore).count();
  return (ProcessCpuMs() - cpuBefore) / wallMs;
}

// ---- Hang-up during a repeat ----

TEST(Resilience, HangUpDuringARepeatIsSurvivedAndThePortCanBeChosenAgain) {
  vp::ServerOptions options;
  options.linkPath = UniqueLinkPath("hangup-com1");
  PanelOnPty rig(options);
  rig.window().setWindowHeight(panel::kFullHeight);

  QTest::mousePress(rig.control("Command1"), Qt::LeftButton);  // VOL "+", held
  ASSERT_TRUE(rig.waitFor([&] { return rig.projector->CommandCount() >= 2; }, kWaitMs))
      << "the key does not repeat";
  rig.projector->HangUp();
  ::unlink(options.linkPath.c_str());  // gone with its device, as an unplugged adapter's name
  ASSERT_TRUE(rig.waitFor([&] { return !rig.panel->port().isOpen(); }, kWaitMs));

  // The repeat goes on against the closed port while the event loop idles.
  EXPECT_LT(CpuShareWhileSpinning(rig, kIdleSpinMs), kIdleCpuShare);
  // The monitor timer blanks the line between repeats, so look for it over a few periods.
  EXPECT_TRUE(rig.waitFor([&] { return rig.caption("Label11") == NotSent("C09\r"); }, kWaitMs));
  EXPECT_EQ(rig.caption("Command33"), panel::kPortButtonClosed);
  ASSERT_EQ(rig.boxes.size(), 1u);
  EXPECT_TRUE(Contains(rig.boxes[0], "COM1")) << rig.boxes[0];
  QTest::mouseRelease(rig.control("Command1"), Qt::LeftButton);

  for (const auto& [control, code] : {std::pair{"Command17", "C00"}, {"Command44", "CR0"}}) {
    rig.click(control);
    EXPECT_EQ(rig.caption("Label11"), NotSent(std::string(code) + "\r")) << control;
  }
  rig.spin(100);
  EXPECT_EQ(rig.boxes.size(), 1u);

  ASSERT_TRUE(rig.projector->ComeBack());
  rig.click("Command33");  // "COM"
  rig.click("Option1");    // "COM1"
  ASSERT_TRUE(rig.panel->port().isOpen()) << rig.boxes.back();
  EXPECT_EQ(rig.caption("Command33"), panel::kPortButtonOpen);
  ASSERT_TRUE(rig.waitFor([&] { return rig.replyWindowClosed(); }, kWaitMs));
  rig.click("Command44");  // "STATUS"
  EXPECT_EQ(rig.caption("Label11"), Monitor("CR0\r"));
  EXPECT_TRUE(rig.waitFor([&] { return rig.caption("Label22") == " Stand by"; }, kWaitMs))
      << rig.caption("Label12");
  EXPECT_EQ(rig.boxes.size(), 1u);
}

// ---- A flood with no reply window open ----

TEST(Resilience, TenMegabytesOfNoiseKeepTheBufferBoundedAndThePanelWorking) {
  constexpr std::size_t kFloodBytes = 10u << 20;
  // Small enough for the pseudo-terminal to take whole while the panel keeps reading.
  constexpr std::size_t kChunkBytes = 8u << 10;
  constexpr std::size_t kRssGrowthLimit = 64u << 20;
  constexpr int kChunkWaitMs = 5000;
  constexpr auto kFloodBound = 60s;
  PanelOnPty rig;
  rig.window().setWindowHeight(panel::kFullHeight);
  constexpr std::uint32_t kNoiseSeed = 1;  // the same noise on every run
  std::mt19937 random(kNoiseSeed);
  std::uniform_int_distribution<int> byte(0, kByteValues - 1);

  const std::size_t rssBefore = ProcessRssBytes();
  const auto started = Clock::now();
  std::size_t sent = 0;
  std::size_t largestBuffer = 0;
  std::string tail;  // the newest bytes sent, as many as the buffer keeps
  for (std::uint32_t chunk = 0; sent < kFloodBytes; ++chunk) {
    // Each chunk ends in its own tag, so its arrival is known without counting bytes.
    const std::string tag = '#' + std::to_string(chunk) + '#';
    std::string bytes(kChunkBytes - tag.size(), '\0');
    for (char& c : bytes) c = static_cast<char>(byte(random));
    bytes += tag;
    rig.projector->SendRaw(bytes);
    ASSERT_TRUE(rig.pumpUntil(
        [&] {
          largestBuffer = std::max(largestBuffer, rig.form().state.rxBuffer.size());
          return rig.form().state.rxBuffer.ends_with(tag);
        },
        kChunkWaitMs))
        << "chunk " << chunk << " did not arrive";
    ASSERT_LE(largestBuffer, panel::kRxBufferLimit) << "after " << sent << " bytes";
    sent += bytes.size();
    tail += bytes;
    if (tail.size() > panel::kRxBufferLimit) tail.erase(0, tail.size() - panel::kRxBufferLimit);
    ASSERT_LT(Clock::now() - started, kFloodBound) << "after " << sent << " bytes";
  }
  const std::size_t rssAfter = ProcessRssBytes();

  // The newest text is what stays, and it is what the received line shows.
  EXPECT_TRUE(rig.form().state.rxBuffer == tail);
  EXPECT_TRUE(rig.caption("Label12") == Monitor(tail));
  EXPECT_EQ(rig.caption("Label22"), "");
  ASSERT_GT(rssBefore, 0u);
  EXPECT_LT(rssAfter, rssBefore + kRssGrowthLimit)
      << "RSS grew from " << rssBefore << " to " << rssAfter;
  EXPECT_TRUE(rig.boxes.empty());
  EXPECT_TRUE(rig.panel->port().isOpen());

  // The noise stands in front of the first reply; once a reply window has closed the next
  // status query decodes.
  rig.click("Command44");
  ASSERT_TRUE(rig.waitFor([&] { return rig.form().state.rxBuffer.ends_with("80\r"); }, kWaitMs));
  ASSERT_TRUE(rig.waitFor([&] { return rig.replyWindowClosed(); }, kWaitMs));
  rig.click("Command44");
  EXPECT_TRUE(rig.waitFor([&] { return rig.caption("Label22") == " Stand by"; }, kWaitMs))
      << rig.caption("Label12");
}

// ---- Every byte value ----

TEST(Resilience, EveryByteValueReachesTheBufferUnchangedAndShowsInPrintableForm) {
  const std::string bytes = AllByteValues();
  {
    SCOPED_TRACE("unasked, with no reply window open");
    PanelOnPty rig;
    rig.projector->SendRaw(bytes);
    ASSERT_TRUE(
        rig.waitFor([&] { return rig.form().state.rxBuffer.size() >= bytes.size(); }, kWaitMs));
    EXPECT_TRUE(rig.form().state.rxBuffer == bytes);
    EXPECT_EQ(rig.caption("Label12"), Monitor(bytes));
    EXPECT_EQ(rig.caption("Label22"), "");
  }
  {
    SCOPED_TRACE("as the answer to the model query, which shows the received text as it is");
    vp::ServerOptions options;
    options.projector.model = bytes;
    PanelOnPty rig(options);
    rig.window().setWindowHeight(panel::kFullHeight);
    QTest::keyClicks(rig.control("Text1"), QStringLiteral("CR9"));
    rig.click("Command95");  // "SEND"
    const std::string reply = bytes + "\r";
    ASSERT_TRUE(
        rig.waitFor([&] { return rig.form().state.rxBuffer.size() >= reply.size(); }, kWaitMs));
    EXPECT_TRUE(rig.form().state.rxBuffer == reply);
    EXPECT_EQ(rig.caption("Label12"), Monitor(reply));
    EXPECT_EQ(rig.caption("Label22"), Monitor(reply));
  }
}

// ---- Sends on a closed port ----

TEST(Resilience, KeysOnAClosedPortShowNotSentAndSendNothing) {
  PanelOnPty rig;  // COM2 names a device that does not exist
  rig.window().setWindowHeight(panel::kFullHeight);
  rig.click("Command33");  // "COM"
  rig.click("Option2");    // "COM2"
  ASSERT_EQ(rig.boxes.size(), 1u);
  ASSERT_FALSE(rig.panel->port().isOpen());

  for (const auto& [control, code] : {std::pair{"Command17", "C00"},
                                      {"Command44", "CR0"},
                                      {"Command56", "CF KEYDIS NONE"},
                                      {"Command64", "C50"}}) {
    rig.click(control);
    EXPECT_EQ(rig.caption("Label11"), NotSent(std::string(code) + "\r")) << control;
  }
  QTest::keyClicks(rig.control("Text1"), QStringLiteral("CR9"));
  rig.click("Command95");  // "SEND"
  EXPECT_EQ(rig.caption("Label11"), NotSent("CR9\r"));
  QTest::mousePress(rig.control("Command2"), Qt::LeftButton);  // VOL "-", held
  EXPECT_EQ(rig.caption("Label11"), NotSent("C0A\r"));
  rig.spin(300);  // a repeat or two
  EXPECT_EQ(rig.form().state.repeatCode, 2);
  EXPECT_TRUE(rig.waitFor([&] { return rig.caption("Label11") == NotSent("C0A\r"); }, kWaitMs));
  QTest::mouseRelease(rig.control("Command2"), Qt::LeftButton);

  rig.spin(200);
  EXPECT_TRUE(rig.projector->Chunks().empty());
  EXPECT_EQ(rig.projector->CommandCount(), 0u);
  EXPECT_EQ(rig.boxes.size(), 1u);
  EXPECT_EQ(rig.caption("Command33"), panel::kPortButtonClosed);
}

// ---- The port held by another program at start ----

TEST(Resilience, PortHeldByAnotherProgramAtStartOpensOnceItIsFreed) {
  auto server = std::make_unique<vp::PtyServer>();
  QSerialPort other;
  other.setPortName(QString::fromStdString(server->DevicePath()));
  ASSERT_TRUE(other.open(QIODevice::ReadWrite)) << other.errorString().toStdString();

  PanelOnPty rig(std::move(server));
  ASSERT_EQ(rig.boxes.size(), 1u);
  EXPECT_TRUE(Contains(rig.boxes[0], "in use by another program")) << rig.boxes[0];
  EXPECT_TRUE(Contains(rig.boxes[0], "COM1")) << rig.boxes[0];
  EXPECT_FALSE(rig.panel->port().isOpen());
  EXPECT_TRUE(static_cast<QWidget&>(rig.window()).isVisible());
  EXPECT_EQ(rig.caption("Command33"), panel::kPortButtonClosed);

  other.close();
  rig.click("Command33");  // "COM"
  rig.click("Option1");    // "COM1"
  ASSERT_TRUE(rig.panel->port().isOpen()) << rig.boxes.back();
  EXPECT_EQ(rig.boxes.size(), 1u);
  EXPECT_EQ(rig.caption("Command33"), panel::kPortButtonOpen);
  rig.window().setWindowHeight(panel::kFullHeight);
  rig.click("Command44");  // "STATUS"
  EXPECT_TRUE(rig.waitFor([&] { return rig.caption("Label22") == " Stand by"; }, kWaitMs))
      << rig.caption("Label12");
}

}  // namespace
}  // namespace mero::test
