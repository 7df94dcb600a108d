#include "panel/com_port.h"

#include <optional>
#include <string_view>
#include <utility>

#include "link/port/port_discovery.h"
#include "panel/port_texts.h"

namespace mero::panel {
namespace {

using link::LineFailure;

// Before start-up chooses a speed the port has the settings of its original definition.
constexpr std::string_view kInitialSettings = "9600,N,8,1";

std::size_t Slot(int number) { return static_cast<std::size_t>(number - kFirstPortNumber); }

bool IsPortNumber(int number) { return number >= kFirstPortNumber && number <= kLastPortNumber; }

}  // namespace

ComPort::ComPort(link::ComDevice com1, link::ComDevice com2, link::LineHost& host,
                 link::ReopeningTimers timers)
    : host_(host),
      timers_(timers),
      relay_(host),
      devices_{std::move(com1), std::move(com2)},
      settings_(*link::ParseSettings(kInitialSettings)),
      settingsText_(kInitialSettings) {
  host_.onDeviceAppeared = [this] { deviceAppeared(); };
}

ComPort::~ComPort() {
  line_.reset();
  retired_.reset();
  host_.onDeviceAppeared = nullptr;
  host_.stopWatching();
}

const link::ComDevice& ComPort::device(int number) const {
  static const link::ComDevice kNone;
  return IsPortNumber(number) ? devices_[Slot(number)] : kNone;
}

std::string ComPort::shownDevice() const { return link::ShowPath(device(number_).path); }

std::string ComPort::label() const { return PortLabel(number_, shownDevice()); }

link::ReopeningLine& ComPort::lineOf(int number) {
  if (line_ && lineNumber_ == number) return *line_;
  retireLine();
  line_ = std::make_unique<link::ReopeningLine>(device(number), settings_, relay_, timers_);
  lineNumber_ = number;
  line_->onUp = [this, number] { onUp(number); };
  line_->onDown = [this, number](const LineFailure& failure) { onDown(number, failure); };
  line_->onReceived = [this, number](const link::Bytes& bytes) { received(number, bytes); };
  line_->onNotice = [this, number](const std::string& what) {
    if (number == number_) {
      notice(PortLabel(number, link::ShowPath(device(number).path)) + ": " + what + ".");
    }
  };
  return *line_;
}

void ComPort::retireLine() {
  if (!line_) return;
  line_->stop();
  retired_ = std::move(line_);
  lineNumber_ = 0;
}

bool ComPort::setPortNumber(int number) {
  stopWaiting();
  if (open_) return fail(label() + " is open; close it before choosing another port.");
  if (!IsPortNumber(number)) {
    return fail("There is no port COM" + std::to_string(number) +
                "; only COM1 and COM2 can be chosen.");
  }
  number_ = number;
  return true;
}

bool ComPort::setSettings(const std::string& settings) {
  const std::optional<link::LineSettings> line = link::ParseSettings(settings);
  if (!line) {
    return fail("\"" + settings +
                "\" are not valid port settings; expected baud rate, parity, data bits and stop "
                "bits such as \"19200,N,8,1\".");
  }
  if (line_ && !line_->apply(*line) && lineNumber_ == number_) {
    return fail(label() + " refused the settings \"" + settings + "\": " + line_->failure().detail +
                ".");
  }
  settings_ = *line;
  settingsText_ = settings;
  return true;
}

bool ComPort::open() {
  stopWaiting();
  if (open_) return fail(label() + " is already open.");
  lastNotice_.clear();
  return openChosen();
}

bool ComPort::openChosen() {
  adoptFoundPort(number_);
  if (device(number_).fallback) {
    return fail(DescribeNoPortFound(number_, shownDevice()), true);
  }
  link::ReopeningLine& line = lineOf(number_);
  if (line.openOnce() != link::Line::Opening::Failed) {
    open_ = true;
    return true;
  }
  const LineFailure failure = line.failure();
  return fail(describe(failure, number_), failure.kind == LineFailure::Kind::Absent);
}

bool ComPort::close() {
  stopWaiting();
  if (line_) line_->stop();
  open_ = false;
  received_.clear();
  return true;
}

bool ComPort::write(const link::Bytes& text) {
  if (!open_) return fail(label() + " is not open; choose the port under COM.");
  link::ReopeningLine& line = lineOf(number_);
  if (!line.write(text)) {
    const LineFailure failure = line.failure();
    if (failure.kind == LineFailure::Kind::Lost) return fail(describe(failure, number_), true);
    return fail("Could not send to " + label() + ".");
  }
  return true;
}

link::Bytes ComPort::takeAll() { return std::exchange(received_, {}); }

void ComPort::reopenWhenBack(int number) {
  if (!IsPortNumber(number) || open_) return;
  stopWaiting();
  waiting_ = number;
  const link::ComDevice& com = device(number);
  if (!com.fallback) {
    lineOf(number).reopenWhenBack();
    return;
  }
  // Still no port: the next change of the devices looks through them again.
  retireLine();
  awaitingPort_ = true;
  host_.watch({com.path});
}

void ComPort::stopWaiting() {
  if (waiting_ == 0) return;
  waiting_ = 0;
  if (awaitingPort_) {
    awaitingPort_ = false;
    host_.stopWatching();
  }
  if (line_ && line_->isWaiting()) line_->stop();
}

void ComPort::deviceAppeared() {
  if (!awaitingPort_) {
    if (relay_.onDeviceAppeared) relay_.onDeviceAppeared();
    return;
  }
  const int number = waiting_;
  adoptFoundPort(number);
  if (device(number).fallback) return;
  awaitingPort_ = false;
  host_.stopWatching();
  lineOf(number).reopenWhenBack();
}

void ComPort::onUp(int number) {
  if (waiting_ != number || open_) return;  // the operator's own open, made now
  waiting_ = 0;
  number_ = number;
  open_ = true;
  lastNotice_.clear();
  if (onRestored) {
    onRestored(DescribeRestoredPort(number, link::ShowPath(device(number).path), settingsText_));
  }
}

void ComPort::onDown(int number, const LineFailure& failure) {
  if (waiting_ == number && !open_) {
    // Not there yet, or gone again: the next change of its device tries again. A server that
    // does not answer was announced with the loss; a device that is back but refuses is news.
    if (failure.kind != LineFailure::Kind::Absent &&
        failure.kind != LineFailure::Kind::Unreachable) {
      notice(describe(failure, number));
    }
    return;
  }
  if (!open_ || number != number_) return;
  open_ = false;
  lastNotice_.clear();
  failure_ = {describe(failure, number), true};
  if (onLost) onLost(failure_);
}

void ComPort::received(int number, const link::Bytes& bytes) {
  if (!open_ || number != number_) return;
  received_ += bytes;
  if (received_.size() > kReceivedLimit) received_.erase(0, received_.size() - kReceivedLimit);
  if (onEvent) onEvent(kEventReceive);
}

void ComPort::adoptFoundPort(int number) {
  if (!device(number).fallback) return;
  const link::ComDevice& other =
      device(number == kFirstPortNumber ? kLastPortNumber : kFirstPortNumber);
  const std::optional<std::string> otherPath =
      other.fallback ? std::nullopt : std::optional(other.path);
  const std::vector<link::PortInfo> ordered = link::OrderPorts(host_.systemPorts());
  const link::ComDevices found = number == kFirstPortNumber
                                     ? link::MapPorts(ordered, std::nullopt, otherPath)
                                     : link::MapPorts(ordered, otherPath, std::nullopt);
  const link::ComDevice& mine = number == kFirstPortNumber ? found.com1 : found.com2;
  if (mine.fallback) return;
  devices_[Slot(number)] = mine;
  if (lineNumber_ == number) retireLine();
}

void ComPort::findMissingPorts() {
  for (int number = kFirstPortNumber; number <= kLastPortNumber; ++number) {
    if ((open_ && number == number_) || waiting_ == number) continue;
    adoptFoundPort(number);
  }
}

void ComPort::notice(const std::string& text) {
  if (text == lastNotice_) return;
  lastNotice_ = text;
  if (onNotice) onNotice(text);
}

std::string ComPort::describe(const LineFailure& failure, int number) const {
  const std::string shown = link::ShowPath(device(number).path);
  if (failure.kind == LineFailure::Kind::Absent && device(number).fallback) {
    return DescribeNoPortFound(number, shown);
  }
  return DescribeOpenFailure(failure, number, shown);
}

bool ComPort::fail(std::string description, bool absent) {
  failure_ = {std::move(description), absent};
  return false;
}

}  // namespace mero::panel
