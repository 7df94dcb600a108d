#include "serve/key_repeat.h"

#include <memory>
#include <utility>

#include "panel/bindings.h"

namespace mero::serve {

KeyRepeat::KeyRepeat(link::Exchanges& link, link::Timer& period, link::Timer& heartbeat,
                     int heartbeatMs)
    : link_(link), period_(period), heartbeat_(heartbeat) {
  period_.onTick = [this] { repeat(); };
  heartbeat_.setInterval(heartbeatMs);
  heartbeat_.onTick = [this] { stop(); };
}

void KeyRepeat::press(const KeyAction& key, Done done) {
  cursor_.pressed(key);
  link_.exchange(key.code, std::move(done));
}

void KeyRepeat::hold(const KeyAction& key, std::string hold, Done pressed) {
  stop();
  hold_ = std::move(hold);
  key_ = key;
  period_.setInterval(cursor_.periodOf(key));
  period_.setEnabled(true);
  heartbeat_.setEnabled(true);
  press(key, std::move(pressed));
  if (onChanged) onChanged();
}

bool KeyRepeat::heartbeat(const std::string& hold) {
  if (hold_.empty() || hold != hold_) return false;
  heartbeat_.setEnabled(true);
  return true;
}

void KeyRepeat::release(const std::string& hold) {
  if (!hold_.empty() && hold == hold_) stop();
}

void KeyRepeat::stop() {
  period_.setEnabled(false);
  heartbeat_.setEnabled(false);
  if (hold_.empty()) return;
  hold_.clear();
  cursor_.released(*key_);
  key_.reset();
  if (onChanged) onChanged();
}

void KeyRepeat::repeat() {
  if (!key_ || key_->repeat == nullptr || onLine_) return;
  const std::string_view code = panel::RepeatCommandOf(key_->repeat->repeatCode);
  if (code.empty()) return;
  onLine_ = true;
  const std::uint64_t send = ++sends_;
  link_.exchange(code, [this, send, alive = std::weak_ptr<bool>(alive_)](const auto&) {
    if (alive.lock() && send == sends_) onLine_ = false;
  });
}

}  // namespace mero::serve
