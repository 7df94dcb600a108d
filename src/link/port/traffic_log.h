#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "link/port/serial_port.h"

namespace mero::link {

enum class Direction { Sent, Received };

// The bytes in hexadecimal: two upper-case digits each, separated by blanks.
std::string Hex(std::string_view bytes);

// One line of the traffic log, without its line feed: five fields separated by tabs, the time
// in UTC (ISO 8601 with milliseconds), the port, "TX" or "RX", the bytes in hexadecimal and
// their monitor text. No field holds a tab: the port is shown with control characters escaped
// and the monitor text has none.
std::string LogLine(std::chrono::system_clock::time_point at, std::string_view port,
                    Direction direction, std::string_view bytes);

// A file that traffic lines are appended to. Each line goes to the file in one write, so that
// every line written is whole whatever happens to the program afterwards.
class TrafficLog {
 public:
  // The file is created if need be; nullptr and a reason when it cannot be opened for writing.
  static std::unique_ptr<TrafficLog> Open(const std::string& path, std::string* error);
  ~TrafficLog();
  TrafficLog(const TrafficLog&) = delete;
  TrafficLog& operator=(const TrafficLog&) = delete;

  // Nothing is written for no bytes. A failed write is dropped: the log never stops the line.
  void record(std::string_view port, Direction direction, std::string_view bytes);

 private:
  explicit TrafficLog(int fd) : fd_(fd) {}
  int fd_;
};

// A port that records every write it passes on and every text it hands over in a traffic log,
// and is otherwise the port it wraps: every call and every callback of the port interface goes
// through (a callback added to the interface must be passed on here too). Without a log it
// only passes on.
class LoggedPort : public SerialPort {
 public:
  // `portName` names the port in each line, read when the line is written.
  LoggedPort(SerialPort& port, std::function<std::string()> portName);
  ~LoggedPort() override;

  void setLog(TrafficLog* log) { log_ = log; }

  bool setPortNumber(int number) override { return port_.setPortNumber(number); }
  int portNumber() const override { return port_.portNumber(); }
  bool setSettings(const std::string& settings) override { return port_.setSettings(settings); }
  bool open() override { return port_.open(); }
  bool close() override { return port_.close(); }
  bool isOpen() const override { return port_.isOpen(); }
  bool write(const Bytes& text) override;
  Bytes takeAll() override;
  PortFailure lastFailure() const override { return port_.lastFailure(); }
  void reopenWhenBack(int number) override { port_.reopenWhenBack(number); }
  bool isWatching() const override { return port_.isWatching(); }

 private:
  SerialPort& port_;
  std::function<std::string()> portName_;
  TrafficLog* log_ = nullptr;
};

}  // namespace mero::link
