#pragma once

#include <QtGlobal>
#include <string>

namespace mero::app {

// Holds back what Qt says while the application object connects to the display. A display
// that does not answer makes Qt give up with a fatal message; instead the program says so in
// one line and ends with status 1. On success the held messages are passed on.
class DisplayCheck {
 public:
  DisplayCheck();
  ~DisplayCheck();
  DisplayCheck(const DisplayCheck&) = delete;
  DisplayCheck& operator=(const DisplayCheck&) = delete;

  // The display the program is about to use, as the environment names it.
  static std::string DisplayName();
};

}  // namespace mero::app
