#pragma once

#include "fakes.h"
#include "panel/form.h"
#include "virtual_clock.h"

namespace mero::test {

// A form over a fake port, virtual timers and a fake window, loaded as at start.
struct Rig {
  VirtualClock clock;
  FakePort port{&clock};
  VirtualClock::Timer timer1{clock}, timer2{clock}, timer3{clock}, timer4{clock};
  FakeSurface surface;
  panel::Form1 form{port, {timer1, timer2, timer3, timer4}, surface};

  explicit Rig(bool load = true) {
    if (load) form.Form_Load();
  }

  // Writes made since the last call.
  std::vector<link::Bytes> takeSent() {
    auto out = port.sent();
    port.writes.clear();
    return out;
  }
};

}  // namespace mero::test
