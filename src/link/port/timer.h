#pragma once

#include <functional>

namespace mero::link {

// A millisecond timer. Enabling it starts a new period from now, also when it is running
// already: a running count starts over. Setting the interval of a running timer likewise starts
// a new period of the new length from now. Disabling it stops it; setting the interval of a
// stopped timer does not start it.
class Timer {
 public:
  virtual ~Timer() = default;
  virtual void setInterval(int ms) = 0;
  virtual int interval() const = 0;
  virtual void setEnabled(bool enabled) = 0;
  virtual bool isEnabled() const = 0;

  std::function<void()> onTick;
};

}  // namespace mero::link
