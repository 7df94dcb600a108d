// The real panel against device servers that misbehave on purpose (tests/support/hostile_peer.h),
// 30 s each (the time can be given as the first argument, in seconds), and against a device
// that flaps: the virtual projector's link lost and back 50 times, a quarter of a second gone
// and a quarter back each time. Each runs in a process of its own, so that what one leaves in
// the allocator is neither counted against the next nor hidden by the last. For each peer: the
// panel's memory growth, its CPU share (the peer's own thread left out), the notice windows the
// operator saw and how long a click queued at the end waited; for the flapping device: the
// notice windows, the memory growth and how long the port took to open after the last return.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QWindow>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "event_loop.h"
#include "hostile_peer.h"
#include "panel/qt_panel.h"
#include "process_figures.h"
#include "report.h"
#include "shown_boxes.h"

namespace {

using mero::bench::CpuSeconds;
using mero::bench::RssMegabytes;

using namespace std::chrono;
using namespace std::chrono_literals;
using mero::test::Hostility;

struct PeerRow {
  Hostility how;
  const char* scheme;
};
constexpr PeerRow kPeers[] = {
    {Hostility::EndlessSubNegotiation, "rfc2217"},
    {Hostility::NegotiationStorm, "rfc2217"},
    {Hostility::IacFlood, "rfc2217"},
    {Hostility::IacFlood, "tcp"},
    {Hostility::AcceptAndClose, "tcp"},
    {Hostility::CloseInSubNegotiation, "rfc2217"},
};
constexpr int kRows = static_cast<int>(std::size(kPeers)) + 1;  // the flapping device last

constexpr int kFlaps = 50;
constexpr auto kFlapHalf = 250ms;
// Past the longest wait between attempts.
constexpr auto kReopenLimit = 40s;
constexpr auto kClickLimit = 5s;

// Counts in `count` the notices the form hands to the window, whether or not each opens a
// window of its own.
void CountNotices(mero::panel::QtPanel& panel, int& count) {
  mero::panel::QtComPort& port = panel.port();
  port.onLost = [&count, lost = port.onLost](const mero::panel::PortFailure& failure) {
    ++count;
    lost(failure);
  };
  port.onRestored = [&count, restored = port.onRestored](const std::string& text) {
    ++count;
    restored(text);
  };
  port.onNotice = [&count, notice = port.onNotice](const std::string& text) {
    ++count;
    notice(text);
  };
}

// Shows the window and waits for its first paint, whose cost is not the peer's doing.
void Show(mero::panel::QtPanel& panel) {
  panel.window().show();
  mero::bench::RunUntil(
      [&] {
        const QWindow* handle = panel.window().windowHandle();
        return handle != nullptr && handle->isExposed();
      },
      kClickLimit);
}

// Milliseconds from a click queued on "COM" to its frame showing; -1 when it never did.
double QueuedClickMs(mero::panel::QtPanel& panel) {
  auto* button = qobject_cast<QAbstractButton*>(panel.window().control("Command33"));
  const auto queued = steady_clock::now();
  QMetaObject::invokeMethod(button, &QAbstractButton::click, Qt::QueuedConnection);
  if (!mero::bench::RunUntil([&] { return panel.window().isVisible("Frame8"); }, kClickLimit)) {
    return -1;
  }
  return duration<double, std::milli>(steady_clock::now() - queued).count();
}

int RunPeer(const PeerRow& row, seconds length) {
  mero::test::HostilePeer peer(row.how);
  const std::string name = std::string(mero::test::Describe(row.how)) + " over " + row.scheme;
  if (peer.port() == 0) {
    std::fprintf(stderr, "hostile_peers: %s: the peer could not listen\n", name.c_str());
    return 1;
  }
  mero::test::ShownBoxes boxes;
  mero::panel::QtPanel panel(
      {QString::fromStdString(peer.address(row.scheme)), QStringLiteral("/nonexistent")});
  int notices = 0;
  CountNotices(panel, notices);
  panel.load();
  Show(panel);

  const double rssBefore = RssMegabytes();
  const double cpuBefore = CpuSeconds() - peer.cpuSeconds();
  const auto start = steady_clock::now();
  mero::bench::RunFor(duration_cast<milliseconds>(length));
  const double cpu = CpuSeconds() - peer.cpuSeconds() - cpuBefore;
  const double wall = duration<double>(steady_clock::now() - start).count();
  const double clickMs = QueuedClickMs(panel);
  const double growth = RssMegabytes() - rssBefore;
  const double cpuPercent = 100 * cpu / wall;
  const auto windows = static_cast<double>(boxes.noticeWindows());

  std::printf("%-42s %8.2f %8.1f %8zu %8d %8llu %10.1f\n", name.c_str(), growth, cpuPercent,
              boxes.noticeWindows(), notices, static_cast<unsigned long long>(peer.connections()),
              clickMs);
  using mero::bench::Report;
  Report({name + ": memory growth", growth, "MB", "", 0, "under 10 MB"});
  Report({name + ": CPU", cpuPercent, "%", "", 0, ""});
  Report({name + ": notice windows", windows, "windows", "", 0, "at most 1"});
  Report({name + ": queued click answered", clickMs, "ms", "", 0, ""});
  return clickMs >= 0 && boxes.warnings().empty() ? 0 : 1;
}

int RunFlapping() {
  mero::bench::PanelOnLinkedProjector rig;
  mero::panel::QtPanel& panel = rig.panel;
  mero::vp::PtyServer& projector = rig.projector;
  panel.window().recordBoxes(nullptr);
  mero::test::ShownBoxes boxes;
  int notices = 0;
  CountNotices(panel, notices);
  int reopenings = 0;
  panel.port().onRestored = [&, restored = panel.port().onRestored](const std::string& text) {
    ++reopenings;
    restored(text);
  };
  panel.load();
  Show(panel);
  if (!panel.port().isOpen()) {
    std::fprintf(stderr, "hostile_peers: the flapping device's port did not open\n");
    return 1;
  }

  const double rssBefore = RssMegabytes();
  for (int i = 0; i < kFlaps; ++i) {
    projector.HangUp();
    ::unlink(rig.link.c_str());
    mero::bench::RunFor(kFlapHalf);
    projector.ComeBack();
    mero::bench::RunFor(kFlapHalf);
  }
  const auto back = steady_clock::now();
  const bool reopened = mero::bench::RunUntil([&] { return panel.port().isOpen(); }, kReopenLimit);
  const double reopenSeconds = duration<double>(steady_clock::now() - back).count();
  const double growth = RssMegabytes() - rssBefore;
  const std::string name = "flapping device, " + std::to_string(kFlaps) + " times";

  std::printf(
      "%s: memory %+.2f MB, %zu notice windows for %d notices, reopened %d times, "
      "port open %.1f s after the last return%s\n",
      name.c_str(), growth, boxes.noticeWindows(), notices, reopenings, reopenSeconds,
      reopened ? "" : " (NOT OPEN)");
  using mero::bench::Report;
  Report({name + ": memory growth", growth, "MB", "", 0, "under 10 MB"});
  Report({name + ": notice windows", static_cast<double>(boxes.noticeWindows()), "windows", "", 0,
          "at most 1"});
  Report({name + ": port open after the last return", reopenSeconds, "s", "", 0,
          "within the longest wait, 30 s"});
  return reopened && boxes.warnings().empty() ? 0 : 1;
}

// One row in this process.
int RunRow(int argc, char** argv, int row, seconds length) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  if (row < static_cast<int>(std::size(kPeers))) return RunPeer(kPeers[row], length);
  return RunFlapping();
}

}  // namespace

int main(int argc, char** argv) {
  // A row of its own: hostile_peers --row N SECONDS.
  if (argc == 4 && std::string(argv[1]) == "--row") {
    return RunRow(argc, argv, std::atoi(argv[2]), seconds{std::atoi(argv[3])});
  }
  const std::string length = std::to_string(argc > 1 ? std::max(1, std::atoi(argv[1])) : 30);
  std::printf("%-42s %8s %8s %8s %8s %8s %10s\n", "peer", "mem +MB", "CPU %", "windows", "notices",
              "conns", "click ms");
  std::fflush(stdout);
  int failures = 0;
  for (int row = 0; row < kRows; ++row) {
    std::string self = "/proc/self/exe";
    std::string flag = "--row";
    std::string rowText = std::to_string(row);
    std::string lengthText = length;
    std::vector<char*> args = {argv[0], flag.data(), rowText.data(), lengthText.data(), nullptr};
    pid_t child = 0;
    int status = 0;
    if (posix_spawn(&child, self.c_str(), nullptr, nullptr, args.data(), environ) != 0 ||
        waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "hostile_peers: row %d did not complete\n", row);
      ++failures;
    }
  }
  return failures == 0 ? 0 : 1;
}
