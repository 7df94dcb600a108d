// Unplugs and plugs back the device behind COM1 twenty times, as a hang-up of the virtual
// projector whose link in a temporary folder is removed and made again, and reports how long
// the panel took from the link's return to the port being open again.
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "event_loop.h"
#include "link/port/reopening_line.h"
#include "panel/qt_panel.h"
#include "projector/pty_server.h"
#include "report.h"

namespace {

using mero::bench::RunUntil;

using namespace std::chrono;
using namespace std::chrono_literals;

// Each return follows a line that has been up long enough to count as a good one: a device
// lost again soon after it came back waits its turn (1, 2, 4 ... s), which is the flapping
// case that hostile_peers measures.
constexpr int kReturns = 5;
constexpr auto kSettled = std::chrono::milliseconds(mero::link::kSettledMs + 200);
constexpr auto kTimeout = 5s;

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  mero::bench::PanelOnLinkedProjector rig;
  const std::string& link = rig.link;
  mero::vp::PtyServer& projector = rig.projector;
  mero::panel::QtPanel& panel = rig.panel;
  steady_clock::time_point openedAt;
  auto restored = panel.port().onRestored;
  panel.port().onRestored = [&](const std::string& notice) {
    openedAt = steady_clock::now();
    restored(notice);
  };
  panel.load();
  if (!panel.port().isOpen()) {
    std::fprintf(stderr, "reconnect_latency: the port did not open\n");
    return 1;
  }

  std::vector<double> latencies;
  for (int i = 0; i < kReturns; ++i) {
    mero::bench::RunFor(kSettled);
    projector.HangUp();
    ::unlink(link.c_str());
    if (!RunUntil([&] { return panel.port().isWatching(); }, kTimeout)) {
      std::fprintf(stderr, "reconnect_latency: the loss was not noticed\n");
      return 1;
    }
    const auto back = steady_clock::now();
    projector.ComeBack();
    if (!RunUntil([&] { return panel.port().isOpen(); }, kTimeout)) {
      std::fprintf(stderr, "reconnect_latency: the port did not come back\n");
      return 1;
    }
    latencies.push_back(duration<double, std::milli>(openedAt - back).count());
  }
  std::sort(latencies.begin(), latencies.end());
  std::printf("device back to port open, %d returns: median %.2f ms, worst %.2f ms\n", kReturns,
              latencies[latencies.size() / 2], latencies.back());
  mero::bench::Report({"device back to port open, median", latencies[latencies.size() / 2], "ms",
                       "", 0, "under 100 ms"});
  return 0;
}
