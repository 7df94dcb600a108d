#pragma once

#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <cstddef>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "panel/qt_panel.h"
#include "projector/pty_server.h"

namespace mero::test {

// The real panel (window, QSerialPort, Qt timers) with COM1 on a virtual projector behind a
// pseudo-terminal. Boxes are recorded rather than shown.
struct PanelOnPty {
  std::unique_ptr<vp::PtyServer> projector;
  std::unique_ptr<panel::QtPanel> panel;
  std::vector<std::string> boxes;

  explicit PanelOnPty(vp::ServerOptions options = {},
                      const QString& com2 = QStringLiteral("/nonexistent/ttyMERO2"))
      : PanelOnPty(std::make_unique<vp::PtyServer>(std::move(options)), com2) {}

  // On a server made beforehand, for tests that prepare the device before the panel starts.
  explicit PanelOnPty(std::unique_ptr<vp::PtyServer> server,
                      const QString& com2 = QStringLiteral("/nonexistent/ttyMERO2"))
      : PanelOnPty(std::move(server), QString(), com2) {}

  // COM1 on `com1` (a network address, say) instead of the server's own device. With
  // `showBoxes`, boxes show as the operator would see them and `boxes` stays empty.
  PanelOnPty(std::unique_ptr<vp::PtyServer> server, QString com1, const QString& com2,
             bool showBoxes = false) {
    projector = std::move(server);
    if (com1.isEmpty()) {
      com1 = QString::fromStdString(projector->LinkPath().empty() ? projector->DevicePath()
                                                                  : projector->LinkPath());
    }
    panel = std::make_unique<panel::QtPanel>(panel::PortDevices{com1, com2});
    if (!showBoxes) panel->window().recordBoxes(&boxes);
    panel->load();
    panel->window().show();
    (void)QTest::qWaitForWindowExposed(&panel->window());
  }

  panel::QtWindow& window() { return panel->window(); }
  panel::Form1& form() { return panel->form(); }
  std::string caption(std::string_view control) { return window().caption(control); }
  QWidget* control(std::string_view name) { return window().control(name); }
  void click(std::string_view name) { QTest::mouseClick(control(name), Qt::LeftButton); }

  // No reply window is open and nothing received waits in front of the next reply: the
  // reply timer has ticked (or never ran) since the last text arrived.
  bool replyWindowClosed() {
    return form().state.replyPending == 0 && form().state.rxBuffer.empty();
  }

  // What the monitor lines showed right after each receive event.
  struct Shown {
    std::string received;  // Label12
    std::string status;    // Label22
  };
  std::vector<Shown> receiveLog;
  // Starts filling receiveLog. Each entry copies both lines, so not for floods.
  void recordReceiveEvents() {
    auto handler = panel->port().onEvent;
    panel->port().onEvent = [this, handler](int kind) {
      handler(kind);
      receiveLog.push_back({caption("Label12"), caption("Label22")});
    };
  }

  // Runs the event loop until the predicate holds or the time is up.
  template <typename Predicate>
  bool waitFor(Predicate predicate, int ms = 3000) {
    return QTest::qWaitFor(predicate, ms);
  }
  // Runs the event loop for a while.
  // Not static: one of the rig's event-loop helpers, called on the rig like the others.
  // NOLINTNEXTLINE(readability-convert-member-functions-to-static)
  void spin(int ms) { QTest::qWait(ms); }

  // Like waitFor, but handles each event as it comes instead of polling every 10 ms: for
  // streams of many small deliveries.
  template <typename Predicate>
  bool pumpUntil(Predicate predicate, int ms) {
    constexpr int kWakeMs = 20;  // bounds each blocking wait for events
    const QDeadlineTimer deadline(ms);
    QTimer wake;
    wake.start(kWakeMs);
    while (!predicate()) {
      if (deadline.hasExpired()) return false;
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
  }
};

// CPU time this process has used, in milliseconds.
inline double ProcessCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// Resident memory of this process in bytes, 0 when unknown.
inline std::size_t ProcessRssBytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t totalPages = 0;
  std::size_t residentPages = 0;
  if (!(statm >> totalPages >> residentPages)) return 0;
  return residentPages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

}  // namespace mero::test
