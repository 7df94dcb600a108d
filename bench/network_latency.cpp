// The time from a synthetic click on a key of the real window to the command's last byte at
// the virtual projector, on a direct pseudo-terminal and through Debian's ser2net over raw
// TCP and RFC 2217, in one run; then a held 50 ms key over RFC 2217, timed at the projector.
#include <QApplication>
#include <QEventLoop>
#include <QMouseEvent>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "event_loop.h"
#include "panel/qt_panel.h"
#include "projector/pty_server.h"
#include "report.h"
#include "ser2net.h"

namespace {

using mero::bench::Mouse;
using mero::bench::RunFor;

using namespace std::chrono;
using namespace std::chrono_literals;

constexpr int kClicks = 100;
constexpr auto kHold = 3s;
constexpr int kHeldPeriodMs = 50;

double At(std::vector<double> values, double share) {
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(share * static_cast<double>(values.size() - 1))];
}

enum class Path { PseudoTerminal, RawTcp, Rfc2217 };
const char* Name(Path path) {
  return path == Path::PseudoTerminal ? "pseudo-terminal"
         : path == Path::RawTcp       ? "ser2net raw TCP"
                                      : "ser2net RFC 2217";
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  mero::vp::PtyServer projector;

  std::printf("click to command at the projector, %d clicks each (ms)\n", kClicks);
  std::printf("%-18s %8s %8s %8s\n", "path", "median", "p99", "worst");
  for (const Path path : {Path::PseudoTerminal, Path::RawTcp, Path::Rfc2217}) {
    // A server of its own for each path: ser2net lets go of a device some time after its
    // last client left.
    mero::test::Ser2net server(projector.DevicePath());
    if (!server.started()) {
      std::fprintf(stderr, "network_latency: ser2net did not start\n");
      return 1;
    }
    const QString com1 = path == Path::PseudoTerminal
                             ? QString::fromStdString(projector.DevicePath())
                         : path == Path::RawTcp ? server.rawAddress()
                                                : server.rfc2217Address();
    mero::panel::QtPanel panel(mero::panel::PortDevices{com1, QStringLiteral("/nonexistent")});
    std::vector<std::string> boxes;
    panel.window().recordBoxes(&boxes);
    panel.load();
    panel.window().show();
    RunFor(300ms);                                       // connected and the line set
    QWidget* key = panel.window().control("Command17");  // POWER ON
    std::vector<double> latencies;
    for (int i = 0; i < kClicks; ++i) {
      const std::uint64_t before = projector.CommandCount();
      const auto clicked = steady_clock::now();
      Mouse(key, QEvent::MouseButtonPress);
      Mouse(key, QEvent::MouseButtonRelease);
      if (!projector.WaitForCommands(before + 1, 2s)) {
        std::fprintf(stderr, "network_latency: %s: command %d did not arrive%s%s\n", Name(path),
                     i + 1, boxes.empty() ? "" : ": ", boxes.empty() ? "" : boxes.back().c_str());
        return 1;
      }
      latencies.push_back(
          duration<double, std::milli>(projector.Commands().back().at - clicked).count());
      RunFor(5ms);
    }
    std::printf("%-18s %8.3f %8.3f %8.3f\n", Name(path), At(latencies, 0.5), At(latencies, 0.99),
                At(latencies, 1.0));
    mero::bench::Report({std::string("click to command over ") + Name(path) + ", median",
                         At(latencies, 0.5), "ms", "", 0, ""});
  }

  {
    mero::test::Ser2net server(projector.DevicePath());
    mero::panel::QtPanel panel(
        mero::panel::PortDevices{server.rfc2217Address(), QStringLiteral("/nonexistent")});
    panel.load();
    panel.window().show();
    RunFor(300ms);
    projector.ClearRecords();
    QWidget* key = panel.window().control("Command15");  // Brightness +, every 50 ms
    Mouse(key, QEvent::MouseButtonPress);
    RunFor(kHold);
    Mouse(key, QEvent::MouseButtonRelease);
    const auto commands = projector.Commands();
    std::vector<double> deviations;
    for (std::size_t i = 1; i < commands.size(); ++i) {
      const double gap = duration<double, std::milli>(commands[i].at - commands[i - 1].at).count();
      deviations.push_back(std::abs(gap - kHeldPeriodMs));
    }
    if (deviations.empty()) {
      std::fprintf(stderr, "network_latency: the held key sent nothing\n");
      return 1;
    }
    std::printf(
        "held 50 ms key over RFC 2217 for %lld s: %zu sends, deviation median %.3f ms, "
        "p99 %.3f ms\n",
        static_cast<long long>(kHold.count()), commands.size(), At(deviations, 0.5),
        At(deviations, 0.99));
    mero::bench::Report(
        {"held 50 ms key over RFC 2217: p99 deviation", At(deviations, 0.99), "ms", "", 0, ""});
  }
  return 0;
}
