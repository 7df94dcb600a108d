#include "link/lines/qt_log_drain.h"

namespace mero::link {

QtLogDrain::QtLogDrain(TrafficLog& log)
    : log_(log), writable_(log.descriptor(), QSocketNotifier::Write) {
  writable_.setEnabled(log_.hasWaiting());
  QObject::connect(&writable_, &QSocketNotifier::activated, &writable_, [this] { log_.flush(); });
  log_.onWaiting = [this](bool waiting) { writable_.setEnabled(waiting); };
}

QtLogDrain::~QtLogDrain() { log_.onWaiting = nullptr; }

}  // namespace mero::link
