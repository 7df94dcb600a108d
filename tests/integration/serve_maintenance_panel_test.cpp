// The panel itself, started on a projector's maintenance line, while ten PJLink controllers
// keep asking the service: its keys reach the projector unchanged and in order, a status key's
// reply decodes in the panel's lines, a held key repeats, and every controller is answered
// with its own answers.
#include <gtest/gtest.h>

#include <QHostAddress>
#include <QTcpSocket>
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "panel_on_pty.h"
#include "serve_process.h"

namespace mero::test {
namespace {

// A controller that asks for the power status again as soon as it has its answer.
class AskingController {
 public:
  // From `from`, a loopback address of its own: one address may hold only a few connections.
  AskingController(const QString& from, quint16 port) {
    QObject::connect(&socket_, &QTcpSocket::readyRead, [this] { read(); });
    socket_.bind(QHostAddress(from));
    socket_.connectToHost(QStringLiteral("127.0.0.1"), port);
  }
  void stop() { asking_ = false; }
  bool waiting() const { return waiting_; }
  const std::vector<std::string>& answers() const { return answers_; }

 private:
  void read() {
    pending_ += socket_.readAll().toStdString();
    for (auto end = pending_.find('\r'); end != std::string::npos; end = pending_.find('\r')) {
      std::string line = pending_.substr(0, end + 1);
      pending_.erase(0, end + 1);
      if (line.starts_with("PJLINK")) {
        ask();
        continue;
      }
      answers_.push_back(std::move(line));
      waiting_ = false;
      if (asking_) ask();
    }
  }
  void ask() {
    socket_.write("%1POWR ?\r");
    waiting_ = true;
  }

  QTcpSocket socket_;
  std::string pending_;
  std::vector<std::string> answers_;
  bool asking_ = true;
  bool waiting_ = false;
};

TEST(ServeMaintenance, ThePanelWorksThroughTheServiceWhileControllersAreAnswered) {
  auto server = std::make_unique<vp::PtyServer>();
  const std::string device = server->DevicePath();
  const auto ports = FreePorts(3);
  ServeProcess serve(QStringLiteral(MERO_CONTROL_BINARY),
                     "[service]\nmetrics = 127.0.0.1:" + std::to_string(ports[2]) +
                         "\n[hall]\naddress = " + device +
                         "\npjlink = 127.0.0.1:" + std::to_string(ports[0]) +
                         "\nmaintenance = 127.0.0.1:" + std::to_string(ports[1]) + "\n");
  ASSERT_TRUE(serve.started()) << serve.log();
  ASSERT_TRUE(serve.logs(" is open")) << serve.log();
  std::array<std::unique_ptr<AskingController>, 10> controllers;
  for (std::size_t i = 0; i < controllers.size(); ++i) {
    controllers[i] =
        std::make_unique<AskingController>(QStringLiteral("127.0.0.%1").arg(i + 2), ports[0]);
  }

  PanelOnPty rig(std::move(server),
                 QString::fromStdString("tcp://127.0.0.1:" + std::to_string(ports[1])),
                 QStringLiteral("/nonexistent/ttyMERO2"));
  rig.window().setWindowHeight(panel::kFullHeight);
  ASSERT_TRUE(rig.waitFor([&] { return rig.panel->port().isOpen(); }));
  ASSERT_TRUE(serve.logs("maintenance client 127.0.0.1 connected")) << serve.log();

  rig.click("Command44");  // "STATUS": CR0
  EXPECT_TRUE(rig.waitFor([&] { return rig.caption("Label22") == " Stand by"; }, 5000))
      << rig.caption("Label12") << " / " << rig.caption("Label22");
  EXPECT_EQ(rig.caption("Label12"), " 8 0 CR ");

  // One-shot keys, clicked faster than the projector answers them: they queue in order.
  for (const char* key : {"Command56", "Command17", "Command56"}) rig.click(key);
  const std::vector<std::string> clicked{"CF KEYDIS NONE", "C00", "CF KEYDIS NONE"};

  QTest::mousePress(rig.control("Command1"), Qt::LeftButton);  // VOL "+": C09, repeating
  rig.spin(1100);
  QTest::mouseRelease(rig.control("Command1"), Qt::LeftButton);

  const auto panelCommands = [&] {
    std::vector<std::string> sent;
    for (const vp::ReceivedCommand& command : rig.projector->Commands()) {
      if (command.command != "CR0" && command.command != "CR3" && command.command != "CR6" &&
          command.command != "CR9") {
        sent.push_back(command.command);
      }
    }
    return sent;
  };
  // At the press, then at every period of 250 ms while held, each sent once its turn comes.
  EXPECT_TRUE(rig.waitFor([&] { return panelCommands().size() >= clicked.size() + 4; }, 10000));
  rig.spin(600);
  const std::vector<std::string> sent = panelCommands();
  ASSERT_GE(sent.size(), clicked.size());
  EXPECT_EQ(std::vector<std::string>(sent.begin(), sent.begin() + 3), clicked);
  const std::vector<std::string> repeats(sent.begin() + 3, sent.end());
  EXPECT_GE(repeats.size(), 4U);
  EXPECT_LE(repeats.size(), 6U);
  for (const std::string& repeat : repeats) EXPECT_EQ(repeat, "C09");

  for (auto& controller : controllers) controller->stop();
  EXPECT_TRUE(rig.waitFor(
      [&] { return std::ranges::none_of(controllers, [](const auto& c) { return c->waiting(); }); },
      10000))
      << "a PJLink request went unanswered";
  for (const auto& controller : controllers) {
    EXPECT_GE(controller->answers().size(), 3U);
    // The projector's power number, never a reply meant for the panel.
    for (const std::string& answer : controller->answers()) {
      EXPECT_TRUE(answer.starts_with("%1POWR=") && answer.size() == 9) << answer;
    }
  }
  EXPECT_EQ(serve.stop(), 0) << serve.log();
}

}  // namespace
}  // namespace mero::test
