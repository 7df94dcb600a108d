#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "link/port/line.h"
#include "virtual_clock.h"

namespace mero::test {

// What the far end does with each attempt to open the line.
enum class Peer {
  Away,               // the device is not there
  Answers,            // opens and stays
  Refuses,            // the server refuses the connection
  Busy,               // the device is held by another program
  Forbidden,          // the device is there but this user may not use it
  AcceptsThenCloses,  // a server that accepts and closes at once
};

// A line whose far end the test scripts; reports come from the clock, as from an event loop,
// and none comes after the line is closed or destroyed.
class ScriptedLine : public link::Line {
 public:
  using Kind = link::LineFailure::Kind;

  ScriptedLine(VirtualClock& clock, Peer& peer, std::vector<VirtualClock::Ms>& attempts,
               bool network)
      : clock_(clock), peer_(peer), attempts_(attempts), network_(network) {}

  Opening open(const link::LineSettings& settings) override {
    settings_ = settings;
    attempts_.push_back(clock_.now());
    switch (peer_) {
      case Peer::Away:
        failure_ = {Kind::Absent};
        return Opening::Failed;
      case Peer::Busy:
        failure_ = {Kind::Busy, "", "picocom, process 7"};
        return Opening::Failed;
      case Peer::Forbidden:
        failure_ = {Kind::NoPermission, "", "", "dialout"};
        return Opening::Failed;
      case Peer::Answers:
        open_ = true;
        if (!network_) return Opening::Open;
        report([this] {
          if (onOpened) onOpened();
        });
        return Opening::Pending;
      case Peer::Refuses:
        open_ = true;
        report([this] { fail({Kind::Unreachable, "Connection refused"}); });
        return Opening::Pending;
      case Peer::AcceptsThenCloses:
        open_ = true;
        report([this] {
          if (onOpened) onOpened();
          report([this] { fail({Kind::Lost, "the server closed it"}); });
        });
        return Opening::Pending;
    }
    return Opening::Failed;
  }
  link::LineFailure failure() const override { return failure_; }
  void close() override {
    open_ = false;
    ++*session_;
  }
  bool isOpen() const override { return open_; }
  bool write(const link::Bytes& bytes) override {
    if (!open_) return false;
    written += bytes;
    return true;
  }
  link::Bytes takeAll() override { return std::exchange(arrived_, {}); }
  bool apply(const link::LineSettings& settings) override {
    settings_ = settings;
    return true;
  }
  bool mayBePresent() const override { return network_ || peer_ != Peer::Away; }
  std::vector<std::string> presencePaths() const override { return {}; }

  // The open line going away under its user.
  void lose() {
    report([this] { fail({Kind::Lost}); });
  }
  // Bytes from the far end, with their report.
  void arrive(const link::Bytes& bytes) {
    arrived_ += bytes;
    report([this] {
      if (onArrival) onArrival();
    });
  }

  link::Bytes written;

 private:
  void report(std::function<void()> what) {
    clock_.after(0,
                 [session = std::weak_ptr<int>(session_), at = *session_, what = std::move(what)] {
                   const std::shared_ptr<int> current = session.lock();
                   if (current && *current == at) what();
                 });
  }
  void fail(const link::LineFailure& failure) {
    open_ = false;
    ++*session_;
    if (onFailed) onFailed(failure);
  }

  VirtualClock& clock_;
  Peer& peer_;
  std::vector<VirtualClock::Ms>& attempts_;
  bool network_;
  link::LineSettings settings_;
  link::LineFailure failure_;
  link::Bytes arrived_;
  bool open_ = false;
  std::shared_ptr<int> session_ = std::make_shared<int>(0);
};

class ScriptedHost : public link::LineHost {
 public:
  ScriptedHost(VirtualClock& clock, bool network) : clock_(clock), network_(network) {}

  std::unique_ptr<link::Line> makeLine(const link::ComDevice& /*device*/) override {
    auto line = std::make_unique<ScriptedLine>(clock_, peer, attempts, network_);
    lines.push_back(line.get());
    return line;
  }
  std::vector<link::PortInfo> systemPorts() override {
    ++lookups;
    return ports;
  }
  void watch(const std::vector<std::string>& /*paths*/) override { watching = true; }
  void stopWatching() override { watching = false; }

  // The device (re)appearing, as the file system tells it.
  void appear() {
    peer = Peer::Answers;
    if (watching && onDeviceAppeared) onDeviceAppeared();
  }

  Peer peer = Peer::Answers;
  std::vector<link::PortInfo> ports;  // the machine's serial ports
  int lookups = 0;
  std::vector<VirtualClock::Ms> attempts;
  std::vector<ScriptedLine*> lines;  // every line made; only the newest may still live
  bool watching = false;

 private:
  VirtualClock& clock_;
  bool network_;
};

// The clock, the reopening timers and the scripted host that every test of the reopening line
// and of the port over it starts from.
struct LineRig {
  explicit LineRig(bool network) : host(clock, network) {}
  static const char* address(bool network) {
    return network ? "tcp://127.0.0.1:4000" : "/dev/ttyUSB0";
  }
  ScriptedLine& scripted() { return *host.lines.back(); }
  // The open line lost, with `next` what the following attempts meet.
  void loseTo(Peer next) {
    host.peer = next;
    scripted().lose();
  }
  // Attempts at or after `from`, relative to it.
  std::vector<VirtualClock::Ms> attemptsSince(VirtualClock::Ms from) const {
    std::vector<VirtualClock::Ms> out;
    for (const VirtualClock::Ms at : host.attempts) {
      if (at >= from) out.push_back(at - from);
    }
    return out;
  }

  VirtualClock clock;
  VirtualClock::Timer retry{clock};
  VirtualClock::Timer settle{clock};
  ScriptedHost host;
};

}  // namespace mero::test
