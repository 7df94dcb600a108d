#include <gtest/gtest.h>
#include <unistd.h>

#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <chrono>

#include "panel_on_pty.h"

namespace mero::test {
namespace {

using namespace std::chrono_literals;

std::string AllReceived(const vp::PtyServer& server) {
  std::string bytes;
  for (const auto& chunk : server.Chunks()) bytes += chunk.bytes;
  return bytes;
}

TEST(PanelLink, StartsWithThePortOpenAndSendsNothing) {
  PanelOnPty rig;
  EXPECT_TRUE(rig.panel->port().isOpen());
  EXPECT_TRUE(rig.boxes.empty());
  rig.spin(100);
  EXPECT_EQ(AllReceived(*rig.projector), "");
}

TEST(PanelLink, KeyBytesArriveExactly) {
  PanelOnPty rig;
  rig.window().setWindowHeight(panel::kFullHeight);
  QTest::mouseClick(rig.window().control("Command17"), Qt::LeftButton);  // POWER "ON"
  QTest::mouseClick(rig.window().control("Command56"), Qt::LeftButton);  // "NONE"
  ASSERT_TRUE(rig.projector->WaitForCommands(2, 2s));
  rig.spin(50);
  EXPECT_EQ(AllReceived(*rig.projector), "C00\rCF KEYDIS NONE\r");
}

TEST(PanelLink, ReplyShowsInTheReceivedLine) {
  PanelOnPty rig;
  rig.window().setWindowHeight(panel::kFullHeight);
  QTest::mouseClick(rig.window().control("Command44"), Qt::LeftButton);  // "STATUS"
  EXPECT_EQ(rig.caption("Label11"), " C R 0 CR ");
  EXPECT_TRUE(rig.waitFor([&] { return rig.caption("Label12") == " 8 0 CR "; }))
      << rig.caption("Label12");
}

// A hung-up device is watched for by its path until it is back. The tests reach it through a
// link that goes with it: a pseudo-terminal's own number may be given to another test's
// device meanwhile, which this panel would then open.
TEST(PanelLink, FarEndHangingUpIsSurvivedWithoutSpinning) {
  QTemporaryDir folder;
  vp::ServerOptions options;
  options.linkPath = folder.filePath(QStringLiteral("com1")).toStdString();
  PanelOnPty rig(options);
  rig.projector->HangUp();
  ::unlink(options.linkPath.c_str());
  ASSERT_TRUE(rig.waitFor([&] { return !rig.panel->port().isOpen(); }));
  // Let the event loop run: a port that spins on read errors would burn the CPU here.
  const double cpuBefore = ProcessCpuMs();
  const auto wallBefore = std::chrono::steady_clock::now();
  rig.spin(600);
  const double wallMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wallBefore)
          .count();
  EXPECT_LT(ProcessCpuMs() - cpuBefore, 0.3 * wallMs);
  EXPECT_EQ(rig.boxes.size(), 1u);
  EXPECT_EQ(rig.caption("Command33"), "COM  (port closed)");

  // The panel stays usable: a key shows that its command did not go out.
  QTest::mouseClick(rig.window().control("Command17"), Qt::LeftButton);
  EXPECT_EQ(rig.caption("Label11").rfind("NOT SENT:", 0), 0u) << rig.caption("Label11");
  EXPECT_EQ(rig.boxes.size(), 1u);
}

TEST(PanelLink, ChoosingThePortAgainReopensItOnceTheFarEndIsBack) {
  vp::ServerOptions options;
  options.linkPath = "/tmp/mero-test-com1-" + std::to_string(::getpid());
  PanelOnPty rig(options);
  rig.projector->HangUp();
  ::unlink(options.linkPath.c_str());
  ASSERT_TRUE(rig.waitFor([&] { return !rig.panel->port().isOpen(); }));
  ASSERT_TRUE(rig.projector->ComeBack());

  QTest::mouseClick(rig.window().control("Command33"), Qt::LeftButton);  // "COM"
  QTest::mouseClick(rig.window().control("Option1"), Qt::LeftButton);
  EXPECT_TRUE(rig.panel->port().isOpen());
  EXPECT_EQ(rig.caption("Command33"), "COM");
  rig.window().setWindowHeight(panel::kFullHeight);
  QTest::mouseClick(rig.window().control("Command44"), Qt::LeftButton);
  EXPECT_TRUE(rig.waitFor([&] { return rig.caption("Label12") == " 8 0 CR "; }));
}

TEST(PanelLink, AbsentSecondPortGivesOneBoxAndKeepsThePanel) {
  PanelOnPty rig;
  QTest::mouseClick(rig.window().control("Command33"), Qt::LeftButton);
  QTest::mouseClick(rig.window().control("Option2"), Qt::LeftButton);
  ASSERT_EQ(rig.boxes.size(), 1u) << rig.boxes.back();
  EXPECT_NE(rig.boxes[0].find("/nonexistent/ttyMERO2"), std::string::npos) << rig.boxes[0];
  EXPECT_FALSE(rig.panel->port().isOpen());
  EXPECT_FALSE(rig.window().control("Frame8")->isHidden());
  EXPECT_EQ(rig.panel->port().portNumber(), 1);
}

}  // namespace
}  // namespace mero::test
