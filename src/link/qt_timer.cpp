#include "link/qt_timer.h"

namespace mero::link {

QtTimer::QtTimer(QObject* parent) : QObject(parent) {
  timer_.setTimerType(Qt::PreciseTimer);
  timer_.setSingleShot(false);
  connect(&timer_, &QTimer::timeout, this, [this] {
    if (onTick) onTick();
  });
}

// QTimer restarts an active timer when its interval is set, as the form expects.
void QtTimer::setInterval(int ms) { timer_.setInterval(ms); }

int QtTimer::interval() const { return timer_.interval(); }

void QtTimer::setEnabled(bool enabled) {
  if (!enabled) {
    timer_.stop();
  } else if (!timer_.isActive()) {
    timer_.start();
  }
}

bool QtTimer::isEnabled() const { return timer_.isActive(); }

}  // namespace mero::link
