#pragma once

#include <QCoreApplication>
#include <QTest>
#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "panel/qt_panel.h"
#include "virtual_projector/pty_server.h"

namespace mero::test {

// The real panel (window, QSerialPort, Qt timers) with COM1 on a virtual projector behind a
// pseudo-terminal. Boxes are recorded rather than shown.
struct PanelOnPty {
  std::unique_ptr<vp::PtyServer> projector;
  std::unique_ptr<panel::QtPanel> panel;
  std::vector<std::string> boxes;

  explicit PanelOnPty(vp::ServerOptions options = {},
                      QString com2 = QStringLiteral("/nonexistent/ttyMERO2")) {
    projector = std::make_unique<vp::PtyServer>(std::move(options));
    panel = std::make_unique<panel::QtPanel>(panel::PortDevices{
        QString::fromStdString(projector->LinkPath().empty() ? projector->DevicePath()
                                                              : projector->LinkPath()),
        com2});
    panel->window().recordBoxes(&boxes);
    panel->load();
    panel->window().show();
    (void)QTest::qWaitForWindowExposed(&panel->window());
  }

  panel::QtWindow& window() { return panel->window(); }
  panel::Form1& form() { return panel->form(); }
  std::string caption(std::string_view control) { return window().caption(control); }

  // Runs the event loop until the predicate holds or the time is up.
  template <typename Predicate>
  bool waitFor(Predicate predicate, int ms = 3000) {
    return QTest::qWaitFor(predicate, ms);
  }
  // Runs the event loop for a while.
  void spin(int ms) { QTest::qWait(ms); }
};

// CPU time this process has used, in milliseconds.
inline double ProcessCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

}  // namespace mero::test
