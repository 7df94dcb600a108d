#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

#include "link/port/timer.h"

namespace mero::test {

// Simulated time for timers and scheduled events: advance() fires everything that falls due,
// in time order, and costs no real time.
class VirtualClock {
 public:
  using Ms = std::int64_t;

  Ms now() const { return now_; }

  void schedule(Ms at, std::function<void()> action) {
    events_.push_back({at, next_++, std::move(action)});
  }
  void after(Ms delay, std::function<void()> action) { schedule(now_ + delay, std::move(action)); }

  void advance(Ms ms) { advanceTo(now_ + ms); }
  void advance(std::chrono::milliseconds ms) { advance(static_cast<Ms>(ms.count())); }
  void advanceTo(Ms target);

  class Timer;

 private:
  friend class Timer;
  struct Event {
    Ms at;
    std::uint64_t order;
    std::function<void()> action;
  };
  Ms now_ = 0;
  std::uint64_t next_ = 0;
  std::vector<Event> events_;
  std::vector<Timer*> timers_;
};

class VirtualClock::Timer : public link::Timer {
 public:
  explicit Timer(VirtualClock& clock) : clock_(clock), order_(clock.next_++) {
    clock_.timers_.push_back(this);
  }
  ~Timer() override { std::erase(clock_.timers_, this); }

  void setInterval(int ms) override {
    interval_ = ms;
    if (enabled_) deadline_ = clock_.now_ + period();
  }
  int interval() const override { return interval_; }
  void setEnabled(bool enabled) override {
    if (enabled) deadline_ = clock_.now_ + period();
    enabled_ = enabled;
  }
  bool isEnabled() const override { return enabled_; }

  int ticks() const { return ticks_; }

 private:
  friend class VirtualClock;
  Ms period() const { return interval_ > 0 ? interval_ : 1; }
  VirtualClock& clock_;
  std::uint64_t order_;
  int interval_ = 0;
  bool enabled_ = false;
  Ms deadline_ = 0;
  int ticks_ = 0;
};

inline void VirtualClock::advanceTo(Ms target) {
  for (;;) {
    Timer* timer = nullptr;
    Ms due = std::numeric_limits<Ms>::max();
    std::uint64_t order = std::numeric_limits<std::uint64_t>::max();
    for (Timer* t : timers_) {
      if (t->enabled_ && (t->deadline_ < due || (t->deadline_ == due && t->order_ < order))) {
        timer = t;
        due = t->deadline_;
        order = t->order_;
      }
    }
    auto event = events_.end();
    for (auto it = events_.begin(); it != events_.end(); ++it) {
      if (it->at < due || (it->at == due && it->order < order)) {
        event = it;
        due = it->at;
        order = it->order;
      }
    }
    if (due > target) break;
    now_ = due;
    if (event != events_.end()) {
      auto action = std::move(event->action);
      events_.erase(event);
      action();
    } else {
      timer->deadline_ += timer->period();
      ++timer->ticks_;
      if (timer->onTick) timer->onTick();
    }
  }
  now_ = target;
}

}  // namespace mero::test
