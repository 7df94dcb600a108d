#pragma once

#include <functional>
#include <string>

#include "link/port/traffic_log.h"
#include "panel/serial_port.h"

namespace mero::panel {

// A port that records every write it passes on and every text it hands over in a traffic log,
// and is otherwise the port it wraps: every call and every callback of the port interface goes
// through (a callback added to the interface must be passed on here too). Without a log it
// only passes on.
class LoggedPort : public SerialPort {
 public:
  // `portName` names the port in each line, read when the line is written.
  LoggedPort(SerialPort& port, std::function<std::string()> portName);
  ~LoggedPort() override;

  // The operator hears of the log's first loss through onNotice, from the port last given it.
  void setLog(link::TrafficLog* log);

  bool setPortNumber(int number) override { return port_.setPortNumber(number); }
  int portNumber() const override { return port_.portNumber(); }
  bool setSettings(const std::string& settings) override { return port_.setSettings(settings); }
  bool open() override { return port_.open(); }
  bool close() override { return port_.close(); }
  bool isOpen() const override { return port_.isOpen(); }
  bool write(const link::Bytes& text) override;
  link::Bytes takeAll() override;
  PortFailure lastFailure() const override { return port_.lastFailure(); }
  void reopenWhenBack(int number) override { port_.reopenWhenBack(number); }
  bool isWatching() const override { return port_.isWatching(); }

 private:
  struct NoticeRelay {
    LoggedPort* port;
    void operator()(const std::string& notice) const;
  };
  // Takes back the log's loss notice if it still comes here.
  void leaveLog();

  SerialPort& port_;
  std::function<std::string()> portName_;
  link::TrafficLog* log_ = nullptr;
};

}  // namespace mero::panel
