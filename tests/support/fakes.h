#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "panel/controls.h"
#include "panel/serial_port.h"
#include "panel/surface.h"
#include "virtual_clock.h"

namespace mero::test {

// A serial port that records what is written, with the time of each write, and delivers
// what a test feeds it.
class FakePort : public panel::SerialPort {
 public:
  struct Write {
    VirtualClock::Ms at;
    link::Bytes bytes;
  };

  explicit FakePort(VirtualClock* clock = nullptr) : clock_(clock) {}

  // Ports that can be opened; others fail as absent.
  std::set<int> present{1, 2};
  // Ports that exist but refuse to open (no permission, held by another program).
  std::set<int> refused;
  // Called after each open that succeeded, to change what later opens find.
  std::function<void()> afterOpen;
  std::vector<Write> writes;
  std::vector<std::string> calls;  // "open 1", "close 1", "settings 9600,N,8,1", ...

  bool setPortNumber(int number) override {
    watched_ = 0;
    if (open_) return fail("port already open");
    number_ = number;
    return true;
  }
  int portNumber() const override { return number_; }
  bool setSettings(const std::string& settings) override {
    settings_ = settings;
    calls.push_back("settings " + settings);
    return true;
  }
  const std::string& settings() const { return settings_; }
  bool open() override {
    calls.push_back("open " + std::to_string(number_));
    watched_ = 0;
    if (open_) return fail("port already open");
    if (refused.contains(number_)) return fail("COM" + std::to_string(number_) + " is in use");
    if (!present.contains(number_))
      return fail("COM" + std::to_string(number_) + " is absent", true);
    open_ = true;
    if (afterOpen) afterOpen();
    return true;
  }
  bool close() override {
    calls.push_back("close " + std::to_string(number_));
    watched_ = 0;
    open_ = false;
    return true;
  }
  bool isOpen() const override { return open_; }
  bool write(const link::Bytes& text) override {
    if (!open_) return fail("port closed");
    writes.push_back({clock_ ? clock_->now() : 0, text});
    return true;
  }
  link::Bytes takeAll() override { return std::exchange(pending_, {}); }
  panel::PortFailure lastFailure() const override { return failure_; }
  void reopenWhenBack(int number) override {
    calls.push_back("watch " + std::to_string(number));
    watched_ = number;
  }
  bool isWatching() const override { return watched_ != 0; }
  // The watched device appearing: it is opened as the watched COM.
  void comeBack() {
    if (watched_ == 0) return;
    present.insert(watched_);
    number_ = std::exchange(watched_, 0);
    open_ = true;
    if (onRestored) onRestored("COM" + std::to_string(number_) + " is back");
  }

  // Bytes arriving from the far end, with their receive event.
  void feed(const link::Bytes& bytes) {
    pending_ += bytes;
    if (onEvent) onEvent(panel::kEventReceive);
  }
  // Bytes waiting in the input queue with no receive event raised for them.
  void queue(const link::Bytes& bytes) { pending_ += bytes; }
  const link::Bytes& waiting() const { return pending_; }
  // The device vanishing under an open port.
  void vanish(const std::string& why) {
    open_ = false;
    if (onLost) onLost({why, true});
  }

  std::vector<link::Bytes> sent() const {
    std::vector<link::Bytes> out;
    for (const Write& w : writes) out.push_back(w.bytes);
    return out;
  }

 private:
  bool fail(std::string description, bool absent = false) {
    failure_ = {std::move(description), absent};
    return false;
  }
  VirtualClock* clock_;
  int number_ = 1;
  int watched_ = 0;
  bool open_ = false;
  std::string settings_{"9600,N,8,1"};
  link::Bytes pending_;
  panel::PortFailure failure_;
};

// The window as plain data, started from the control table.
class FakeSurface : public panel::Surface {
 public:
  FakeSurface() {
    for (const panel::ControlRow& row : panel::Controls()) {
      captions_[std::string(row.name)] = std::string(row.caption);
      visible_[std::string(row.name)] = row.visibleAtStart;
      if (row.markedAtStart) marked_.insert(std::string(row.name));
    }
  }

  void setCaption(std::string_view control, const std::string& text) override {
    captions_[std::string(control)] = text;
  }
  void appendCaption(std::string_view control, std::string_view appended, std::size_t dropFrom,
                     std::size_t dropCount) override {
    panel::AppendAndDrop(captions_[std::string(control)], appended, dropFrom, dropCount);
  }
  std::string caption(std::string_view control) const override {
    auto it = captions_.find(std::string(control));
    return it == captions_.end() ? std::string() : it->second;
  }
  void setVisible(std::string_view control, bool visible) override {
    visible_[std::string(control)] = visible;
  }
  bool isVisible(std::string_view control) const override {
    auto it = visible_.find(std::string(control));
    return it != visible_.end() && it->second;
  }
  void mark(std::string_view option) override {
    const std::string name(option);
    const bool portGroup = name == "Option1" || name == "Option2";
    std::erase_if(marked_, [&](const std::string& m) {
      return (m == "Option1" || m == "Option2") == portGroup;
    });
    marked_.insert(name);
  }
  bool isMarked(std::string_view option) const override {
    return marked_.contains(std::string(option));
  }

  std::string entryBytes() const override { return entry; }
  void clearEntry() override { entry.clear(); }

  int windowWidth() const override { return panel::kClientWidth + 120; }
  int windowHeight() const override { return height; }
  void setWindowHeight(int twips) override { height = twips; }
  void setWindowPosition(int l, int t) override {
    left = l;
    top = t;
  }
  int screenWidth() const override { return 1920 * panel::kTwipsPerPixel; }
  int screenHeight() const override { return 1080 * panel::kTwipsPerPixel; }

  void warn(const std::string& text) override { warnings.push_back(text); }
  void notify(const std::string& text, panel::Notice kind = panel::Notice::Warning) override {
    notices.push_back(text);
    noticeKinds.push_back(kind);
  }
  void quit() override {
    if (onQuit) onQuit();
    quitted = true;
  }

  std::string entry;
  int height = panel::kClientHeight + panel::kFrameAllowance;
  int left = 0;
  int top = 0;
  std::vector<std::string> warnings;
  std::vector<std::string> notices;
  std::vector<panel::Notice> noticeKinds;  // beside notices, one for each
  bool quitted = false;
  // Runs as the window goes, to look at what had happened by then.
  std::function<void()> onQuit;

 private:
  std::map<std::string, std::string> captions_;
  std::map<std::string, bool> visible_;
  std::set<std::string> marked_;
};

}  // namespace mero::test
