#pragma once

#include <QApplication>
#include <QEventLoop>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <string>
#include <vector>

#include "panel/qt_panel.h"
#include "projector/pty_server.h"

namespace mero::bench {

// Runs the event loop for a while. QTest's waits sleep between turns of the loop, which would
// hold the repeat timer back.
inline void RunFor(std::chrono::milliseconds duration) {
  QEventLoop loop;
  QTimer::singleShot(duration, Qt::PreciseTimer, &loop, &QEventLoop::quit);
  loop.exec();
}

// Runs the event loop until the condition holds or the time is up.
template <typename Condition>
bool RunUntil(Condition condition, std::chrono::milliseconds limit) {
  using namespace std::chrono_literals;
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    QEventLoop loop;
    QTimer::singleShot(1ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

// The real panel (not yet loaded) with COM1 on a virtual projector reached through a link in
// a temporary folder, its boxes recorded rather than shown.
struct PanelOnLinkedProjector {
  QTemporaryDir folder;
  std::string link = folder.filePath(QStringLiteral("projector")).toStdString();
  vp::PtyServer projector{[this] {
    vp::ServerOptions options;
    options.linkPath = link;
    return options;
  }()};
  panel::QtPanel panel{
      panel::PortDevices{QString::fromStdString(link), QStringLiteral("/nonexistent")}};
  std::vector<std::string> boxes;

  PanelOnLinkedProjector() { panel.window().recordBoxes(&boxes); }
};

// A left-button press or release in the middle of the widget, delivered at once.
inline void Mouse(QWidget* widget, QEvent::Type type) {
  const QPointF at(widget->width() / 2.0, widget->height() / 2.0);
  QMouseEvent event(type, at, widget->mapToGlobal(at), Qt::LeftButton,
                    type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton,
                    Qt::NoModifier);
  QApplication::sendEvent(widget, &event);
}

}  // namespace mero::bench
