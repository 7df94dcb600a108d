#include "link/lines/qt_timer.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdint>

namespace mero::link {
namespace {

constexpr long kNanosPerMilli = 1'000'000;
constexpr long kMillisPerSecond = 1000;

timespec FromMillis(int ms) {
  const int period = ms > 0 ? ms : 1;  // a zero interval would disarm the kernel timer
  return {period / kMillisPerSecond, (period % kMillisPerSecond) * kNanosPerMilli};
}

}  // namespace

QtTimer::QtTimer(QObject* parent)
    : QObject(parent), fd_(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)) {
  notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { expired(); });
}

QtTimer::~QtTimer() {
  notifier_.reset();
  if (fd_ >= 0) ::close(fd_);
}

void QtTimer::setInterval(int ms) {
  interval_ = ms;
  if (enabled_) arm();
}

int QtTimer::interval() const { return interval_; }

void QtTimer::setEnabled(bool enabled) {
  if (enabled) {
    // Arming again replaces the running schedule and drops an expiry not yet read.
    enabled_ = true;
    arm();
    return;
  }
  if (!enabled_) return;
  enabled_ = false;
  disarm();
}

bool QtTimer::isEnabled() const { return enabled_; }

void QtTimer::arm() {
  const timespec period = FromMillis(interval_);
  const itimerspec schedule{period, period};
  timerfd_settime(fd_, 0, &schedule, nullptr);
}

void QtTimer::disarm() {
  const itimerspec off{};
  timerfd_settime(fd_, 0, &off, nullptr);
  std::uint64_t stale = 0;
  (void)::read(fd_, &stale, sizeof stale);
}

void QtTimer::expired() {
  // Ticks missed while the loop was busy are not made up: one late tick stands for them.
  std::uint64_t expirations = 0;
  if (::read(fd_, &expirations, sizeof expirations) != sizeof expirations) return;
  if (enabled_ && onTick) onTick();
}

}  // namespace mero::link
