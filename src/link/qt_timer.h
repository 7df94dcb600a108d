#pragma once

#include <QObject>
#include <QTimer>

#include "link/timer.h"

namespace mero::link {

// A precise periodic QTimer. Enabling a running timer keeps its phase, so a repeat that
// re-enables itself at every tick does not drift with the event loop's load.
class QtTimer : public QObject, public Timer {
  Q_OBJECT
 public:
  explicit QtTimer(QObject* parent = nullptr);

  void setInterval(int ms) override;
  int interval() const override;
  void setEnabled(bool enabled) override;
  bool isEnabled() const override;

 private:
  QTimer timer_;
};

}  // namespace mero::link
