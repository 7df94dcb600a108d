#include "panel/logged_port.h"

#include <utility>

namespace mero::panel {

LoggedPort::LoggedPort(SerialPort& port, std::function<std::string()> portName)
    : port_(port), portName_(std::move(portName)) {
  port_.onEvent = [this](int kind) {
    if (onEvent) onEvent(kind);
  };
  port_.onLost = [this](const PortFailure& failure) {
    if (onLost) onLost(failure);
  };
  port_.onRestored = [this](const std::string& notice) {
    if (onRestored) onRestored(notice);
  };
  port_.onNotice = [this](const std::string& notice) {
    if (onNotice) onNotice(notice);
  };
}

LoggedPort::~LoggedPort() {
  leaveLog();
  port_.onEvent = nullptr;
  port_.onLost = nullptr;
  port_.onRestored = nullptr;
  port_.onNotice = nullptr;
}

void LoggedPort::setLog(link::TrafficLog* log) {
  leaveLog();
  log_ = log;
  if (log_ == nullptr) return;
  log_->onLoss = NoticeRelay{this};
}

void LoggedPort::NoticeRelay::operator()(const std::string& notice) const {
  if (port->onNotice) port->onNotice(notice);
}

void LoggedPort::leaveLog() {
  if (log_ == nullptr) return;
  const auto* relay = log_->onLoss.target<NoticeRelay>();
  if (relay != nullptr && relay->port == this) log_->onLoss = nullptr;
}

bool LoggedPort::write(const link::Bytes& text) {
  const bool sent = port_.write(text);
  if (sent && log_ != nullptr) log_->record(portName_(), link::Direction::Sent, text);
  return sent;
}

link::Bytes LoggedPort::takeAll() {
  link::Bytes text = port_.takeAll();
  if (log_ != nullptr) log_->record(portName_(), link::Direction::Received, text);
  return text;
}

}  // namespace mero::panel
