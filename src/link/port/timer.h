#pragma once

#include <functional>

namespace mero::link {

// A millisecond timer. Enabling a running timer does not restart its count; setting the
// interval of a running timer starts a new period of the new length from now.
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
