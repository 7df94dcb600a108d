#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "link/port/line.h"
#include "link/port/line_settings.h"
#include "link/port/reopening_line.h"
#include "panel/serial_port.h"

namespace mero::panel {

inline constexpr int kFirstPortNumber = 1;
inline constexpr int kLastPortNumber = 2;

// Bytes that arrived and wait for the form to take them: a form that never takes them keeps
// only the newest this many, as the line hands over at most this much at a time.
inline constexpr std::size_t kReceivedLimit = link::kReadChunkLimit;

// The serial port as the form knows it, over the link's reopening line: the devices behind
// COM1 and COM2, the choice of one, the settings text, the wait for a lost port and every text
// the operator reads about it. The line of the COM in use is the only one there is.
class ComPort : public SerialPort {
 public:
  ComPort(link::ComDevice com1, link::ComDevice com2, link::LineHost& host,
          link::ReopeningTimers timers);
  ~ComPort() override;
  ComPort(const ComPort&) = delete;
  ComPort& operator=(const ComPort&) = delete;

  // 1 or 2; fails while the port is open.
  bool setPortNumber(int number) override;
  int portNumber() const override { return number_; }
  bool setSettings(const std::string& settings) override;
  bool open() override;
  // Closing a closed port succeeds and does nothing.
  bool close() override;
  bool isOpen() const override { return open_; }
  bool write(const link::Bytes& text) override;
  link::Bytes takeAll() override;
  PortFailure lastFailure() const override { return failure_; }
  void reopenWhenBack(int number) override;
  bool isWatching() const override { return waiting_ != 0; }

  // The device behind COM<number>; an empty one for other numbers.
  const link::ComDevice& device(int number) const;
  // Looks through the machine's ports for each COM that has none yet and is neither open nor
  // waited for, as opening it would.
  void findMissingPorts();
  // The device of the chosen COM as the operator reads it.
  std::string shownDevice() const;

 private:
  // The host as the line in use sees it. A COM that waits for a port to be found has no line,
  // so the host's news of devices goes to the look-up then; the line never hears of it.
  class Relay : public link::LineHost {
   public:
    explicit Relay(link::LineHost& host) : host_(host) {}
    std::unique_ptr<link::Line> makeLine(const link::ComDevice& device) override {
      return host_.makeLine(device);
    }
    std::vector<link::PortInfo> systemPorts() override { return host_.systemPorts(); }
    void watch(const std::vector<std::string>& paths) override { host_.watch(paths); }
    void stopWatching() override { host_.stopWatching(); }

   private:
    link::LineHost& host_;
  };

  link::ReopeningLine& lineOf(int number);
  void retireLine();
  bool openChosen();
  void adoptFoundPort(int number);
  void deviceAppeared();
  void stopWaiting();
  void onUp(int number);
  void onDown(int number, const link::LineFailure& failure);
  void received(int number, const link::Bytes& bytes);
  void notice(const std::string& text);
  std::string label() const;
  std::string describe(const link::LineFailure& failure, int number) const;
  bool fail(std::string description, bool absent = false);

  link::LineHost& host_;
  link::ReopeningTimers timers_;
  Relay relay_;
  std::array<link::ComDevice, kLastPortNumber> devices_;
  std::unique_ptr<link::ReopeningLine> line_;
  int lineNumber_ = 0;  // the COM of line_
  // A line given up for another COM or device; kept until the next change, so that no line is
  // deleted inside its own report.
  std::unique_ptr<link::ReopeningLine> retired_;
  link::LineSettings settings_;
  std::string settingsText_;
  int number_ = kFirstPortNumber;
  bool open_ = false;
  int waiting_ = 0;  // the COM being waited for; 0: none
  // The waited COM has no port yet: it is looked for when a device appears.
  bool awaitingPort_ = false;
  link::Bytes received_;
  PortFailure failure_;
  std::string lastNotice_;
};

}  // namespace mero::panel
