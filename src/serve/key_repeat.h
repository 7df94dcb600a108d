#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "link/port/exchange_engine.h"
#include "link/port/timer.h"
#include "serve/keypad.h"

namespace mero::serve {

// A browser that holds a key tells so this often at the least; past it, the key is let go.
inline constexpr int kKeyHeartbeatMs = 1000;

// The key held on one projector's keypad from a browser: its code goes out at the press, then
// its repeat code every period, as the panel's held key does, until it is released or its
// browser stops telling that it still holds it. One key at a time, as on the panel: a new
// press ends the key held before. A repeat goes out only once the one before has ended on the
// line, so a slow line gets fewer repeats rather than a queue of them.
class KeyRepeat {
 public:
  using Done = link::Exchanges::Done;

  KeyRepeat(link::Exchanges& link, link::Timer& period, link::Timer& heartbeat, int heartbeatMs);

  // Starts holding `key` under the name `hold`; `pressed` hears how the press's send ended.
  void hold(const KeyAction& key, std::string hold, Done pressed);
  // Whether `hold` is still held; its deadline starts over.
  bool heartbeat(const std::string& hold);
  void release(const std::string& hold);
  // A key that is not held: its send, and the cursor mode it sets.
  void press(const KeyAction& key, Done done);

  bool held() const { return !hold_.empty(); }
  int periodMs() const { return period_.interval(); }
  // Told when a key starts or stops being held.
  std::function<void()> onChanged;

 private:
  void repeat();
  void stop();

  link::Exchanges& link_;
  link::Timer& period_;
  link::Timer& heartbeat_;
  CursorPeriod cursor_;
  std::string hold_;
  std::optional<KeyAction> key_;
  bool onLine_ = false;  // a repeat has not ended yet
  std::uint64_t sends_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace mero::serve
