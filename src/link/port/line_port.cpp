#include "link/port/line_port.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>

#include "link/port/port_discovery.h"
#include "link/port/port_texts.h"

namespace mero::link {
namespace {

// Before start-up chooses a speed the port has the settings of its original definition.
constexpr std::string_view kInitialSettings = "9600,N,8,1";
// The first attempt after a loss comes on the next turn of the event loop, not inside the
// report of the loss.
constexpr int kNextTurnMs = 0;

std::size_t Slot(int number) { return static_cast<std::size_t>(number - kFirstPortNumber); }

bool IsPortNumber(int number) { return number >= kFirstPortNumber && number <= kLastPortNumber; }

}  // namespace

LinePort::LinePort(ComDevice com1, ComDevice com2, LineHost& host, PortTimers timers)
    : host_(host),
      timers_(timers),
      devices_{std::move(com1), std::move(com2)},
      settings_(*ParseSettings(kInitialSettings)),
      settingsText_(kInitialSettings) {
  timers_.retry.onTick = [this] {
    timers_.retry.setEnabled(false);
    attempt();
  };
  timers_.settle.setInterval(kSettledMs);
  timers_.settle.onTick = [this] {
    timers_.settle.setEnabled(false);
    nextWaitMs_ = kFirstRetryMs;
  };
  // A device that appears while a pause runs is tried when the pause is over.
  host_.onDeviceAppeared = [this] {
    if (waiting_ != 0 && !timers_.retry.isEnabled()) attempt();
  };
}

LinePort::~LinePort() {
  host_.onDeviceAppeared = nullptr;
  host_.stopWatching();
  timers_.retry.onTick = nullptr;
  timers_.settle.onTick = nullptr;
  timers_.retry.setEnabled(false);
  timers_.settle.setEnabled(false);
}

const ComDevice& LinePort::device(int number) const {
  static const ComDevice kNone;
  return IsPortNumber(number) ? devices_[Slot(number)] : kNone;
}

std::string LinePort::shownDevice() const { return ShowPath(device(number_).path); }

std::string LinePort::label() const { return PortLabel(number_, shownDevice()); }

Line& LinePort::lineOf(int number) {
  std::unique_ptr<Line>& slot = lines_[Slot(number)];
  if (slot) return *slot;
  slot = host_.makeLine(device(number));
  slot->onOpened = [this, number] { onLineOpened(number); };
  slot->onArrival = [this, number] {
    if (open_ && number == number_ && onEvent) onEvent(kEventReceive);
  };
  slot->onFailed = [this, number](const LineFailure& failure) { onLineFailed(number, failure); };
  slot->onNotice = [this, number](const std::string& what) {
    if (number == number_)
      notice(PortLabel(number, ShowPath(device(number).path)) + ": " + what + ".");
  };
  return *slot;
}

bool LinePort::setPortNumber(int number) {
  stopWaiting();
  if (open_) return fail(label() + " is open; close it before choosing another port.");
  if (!IsPortNumber(number)) {
    return fail("There is no port COM" + std::to_string(number) +
                "; only COM1 and COM2 can be chosen.");
  }
  number_ = number;
  return true;
}

bool LinePort::setSettings(const std::string& settings) {
  const std::optional<LineSettings> line = ParseSettings(settings);
  if (!line) {
    return fail("\"" + settings +
                "\" are not valid port settings; expected baud rate, parity, data bits and stop "
                "bits such as \"19200,N,8,1\".");
  }
  Line* current = lines_[Slot(number_)].get();
  if (current != nullptr && current->isOpen() && !current->apply(*line)) {
    return fail(label() + " refused the settings \"" + settings +
                "\": " + current->failure().detail + ".");
  }
  settings_ = *line;
  settingsText_ = settings;
  return true;
}

bool LinePort::open() {
  stopWaiting();
  if (open_) return fail(label() + " is already open.");
  lastNotice_.clear();
  return openChosen();
}

bool LinePort::openChosen() {
  adoptFoundPort(number_);
  if (device(number_).fallback) {
    return fail(DescribeNoPortFound(number_, shownDevice()), true);
  }
  Line& line = lineOf(number_);
  switch (line.open(settings_)) {
    case Line::Opening::Open:
      open_ = true;
      opened();
      return true;
    case Line::Opening::Pending:
      open_ = true;
      return true;
    case Line::Opening::Failed:
      break;
  }
  const LineFailure failure = line.failure();
  return fail(describe(failure, number_), failure.kind == LineFailure::Kind::Absent);
}

bool LinePort::close() {
  stopWaiting();
  timers_.settle.setEnabled(false);
  if (Line* line = lines_[Slot(number_)].get()) line->close();
  open_ = false;
  return true;
}

bool LinePort::isOpen() const { return open_; }

bool LinePort::write(const Bytes& text) {
  if (!open_) return fail(label() + " is not open; choose the port under COM.");
  Line& line = lineOf(number_);
  if (!line.write(text)) {
    const LineFailure failure = line.failure();
    if (failure.kind == LineFailure::Kind::Lost) return fail(describe(failure, number_), true);
    return fail("Could not send to " + label() + ".");
  }
  return true;
}

Bytes LinePort::takeAll() {
  Line* line = lines_[Slot(number_)].get();
  return line != nullptr ? line->takeAll() : Bytes();
}

void LinePort::reopenWhenBack(int number) {
  if (!IsPortNumber(number) || open_) return;
  stopWaiting();
  waiting_ = number;
  const ComDevice& com = device(number);
  host_.watch(com.fallback ? std::vector<std::string>{com.path} : lineOf(number).presencePaths());
  // Lost soon after it was opened: the device or server keeps failing, so it waits its turn.
  const bool lostSoon = timers_.settle.isEnabled();
  timers_.settle.setEnabled(false);
  if (lostSoon) {
    scheduleRetry();
    return;
  }
  nextWaitMs_ = kFirstRetryMs;
  timers_.retry.setInterval(kNextTurnMs);
  timers_.retry.setEnabled(true);
}

void LinePort::stopWaiting() {
  if (waiting_ != 0 && !open_) {
    if (Line* line = lines_[Slot(waiting_)].get()) line->close();  // an attempt under way
  }
  waiting_ = 0;
  host_.stopWatching();
  timers_.retry.setEnabled(false);
}

void LinePort::attempt() {
  const int number = waiting_;
  if (number == 0 || open_) return;
  adoptFoundPort(number);
  const ComDevice& com = device(number);
  if (com.fallback) return;  // still no port: the next change of the devices tries again
  Line& line = lineOf(number);
  if (line.isOpen() || !line.mayBePresent()) return;
  number_ = number;
  switch (line.open(settings_)) {
    case Line::Opening::Open:
      onLineOpened(number);
      return;
    case Line::Opening::Pending:
      return;
    case Line::Opening::Failed:
      attemptFailed(line.failure());
      return;
  }
}

void LinePort::attemptFailed(const LineFailure& failure) {
  // Not there yet, or gone again: the next change of its device tries again.
  if (failure.kind == LineFailure::Kind::Absent) return;
  // A server that does not answer was announced with the loss; a device that is back but
  // refuses is news.
  if (failure.kind != LineFailure::Kind::Unreachable) notice(describe(failure, waiting_));
  scheduleRetry();
}

void LinePort::scheduleRetry() {
  timers_.retry.setInterval(nextWaitMs_);
  timers_.retry.setEnabled(true);
  nextWaitMs_ = std::min(nextWaitMs_ * 2, kLongestRetryMs);
}

void LinePort::opened() {
  timers_.settle.setEnabled(false);
  timers_.settle.setEnabled(true);
}

void LinePort::onLineOpened(int number) {
  if (waiting_ == number && !open_) {
    waiting_ = 0;
    host_.stopWatching();
    timers_.retry.setEnabled(false);
    open_ = true;
    opened();
    lastNotice_.clear();
    if (onRestored) {
      onRestored(DescribeRestoredPort(number, ShowPath(device(number).path), settingsText_));
    }
    return;
  }
  if (open_ && number == number_) opened();  // the operator's open, made now
}

void LinePort::onLineFailed(int number, const LineFailure& failure) {
  if (waiting_ == number && !open_) {
    attemptFailed(failure);
    return;
  }
  if (!open_ || number != number_) return;
  open_ = false;
  lastNotice_.clear();
  // The settle timer keeps running: whoever reopens the port reads from it how soon this was.
  failure_ = {describe(failure, number), true};
  if (onLost) onLost(failure_);
}

void LinePort::adoptFoundPort(int number) {
  if (!device(number).fallback) return;
  const ComDevice& other = device(number == kFirstPortNumber ? kLastPortNumber : kFirstPortNumber);
  const std::optional<std::string> otherPath =
      other.fallback ? std::nullopt : std::optional(other.path);
  const std::vector<PortInfo> ordered = OrderPorts(host_.systemPorts());
  const ComDevices found = number == kFirstPortNumber ? MapPorts(ordered, std::nullopt, otherPath)
                                                      : MapPorts(ordered, otherPath, std::nullopt);
  const ComDevice& mine = number == kFirstPortNumber ? found.com1 : found.com2;
  if (mine.fallback) return;
  devices_[Slot(number)] = mine;
  if (lines_[Slot(number)]) {
    lines_[Slot(number)]->close();
    retired_ = std::move(lines_[Slot(number)]);
  }
}

void LinePort::findMissingPorts() {
  for (int number = kFirstPortNumber; number <= kLastPortNumber; ++number) {
    if ((open_ && number == number_) || waiting_ == number) continue;
    adoptFoundPort(number);
  }
}

void LinePort::notice(const std::string& text) {
  if (text == lastNotice_) return;
  lastNotice_ = text;
  if (onNotice) onNotice(text);
}

std::string LinePort::describe(const LineFailure& failure, int number) const {
  const std::string shown = ShowPath(device(number).path);
  if (failure.kind == LineFailure::Kind::Absent && device(number).fallback) {
    return DescribeNoPortFound(number, shown);
  }
  return DescribeOpenFailure(failure, number, shown);
}

bool LinePort::fail(std::string description, bool absent) {
  failure_ = {std::move(description), absent};
  return false;
}

}  // namespace mero::link
