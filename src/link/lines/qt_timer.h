#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <memory>

#include "link/port/timer.h"

namespace mero::link {

// A periodic millisecond timer on the event loop. Its ticks come from a kernel timer
// (timerfd) on absolute deadlines, so a repeat keeps its period to the wake-up latency of the
// loop and never drifts; Qt's own timers wake up on whole milliseconds. Enabling the timer,
// running or not, and setting the interval of a running timer start a new period from now.
class QtTimer : public QObject, public Timer {
  Q_OBJECT
 public:
  explicit QtTimer(QObject* parent = nullptr);
  ~QtTimer() override;

  void setInterval(int ms) override;
  int interval() const override;
  void setEnabled(bool enabled) override;
  bool isEnabled() const override;

 private:
  void arm();
  void disarm();
  void expired();

  int fd_ = -1;
  std::unique_ptr<QSocketNotifier> notifier_;
  int interval_ = 0;
  bool enabled_ = false;
};

}  // namespace mero::link
