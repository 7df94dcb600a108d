#pragma once

#include <functional>
#include <string>

namespace mero::link {

// Text on the serial line: one char per byte, in order.
using Bytes = std::string;

// A failed port operation: the serial layer's number and a plain description.
struct PortFailure {
  int number = 0;
  std::string description;
  // The device is not there (not plugged in, or gone): worth watching for its return.
  bool absent = false;
};

// Kinds of port event, numbered as the panel's event handler expects them.
inline constexpr int kEventReceive = 2;
inline constexpr int kEventError = 1000;

// The serial port as the panel sees it: a port number (1 = COM1, 2 = COM2), a settings
// text such as "19200,N,8,1", an open state, and whole-text write and read.
class SerialPort {
 public:
  virtual ~SerialPort() = default;

  virtual bool setPortNumber(int number) = 0;
  virtual int portNumber() const = 0;
  // Takes effect at once on an open port.
  virtual bool setSettings(const std::string& settings) = 0;
  virtual bool open() = 0;
  virtual bool close() = 0;
  virtual bool isOpen() const = 0;
  // One write of the whole text; false when the port is closed or refuses it.
  virtual bool write(const Bytes& text) = 0;
  // Everything waiting in the input queue; empties the queue.
  virtual Bytes takeAll() = 0;
  // The failure of the last operation that returned false.
  virtual PortFailure lastFailure() const = 0;

  // Raised with kEventReceive as soon as at least one byte waits.
  std::function<void(int kind)> onEvent;
  // Watches for the device of COM<number> to appear and then opens it as COM<number> with
  // the current settings. Any open, close or port-number change ends the watch.
  virtual void reopenWhenBack(int number) = 0;
  virtual bool isWatching() const = 0;

  // Raised once when the open port fails under us (device gone, read or write error);
  // the port has been closed by then.
  std::function<void(const PortFailure&)> onLost;
  // Raised when the watch has opened the port again, with a notice for the operator.
  std::function<void(const std::string& notice)> onRestored;
  // Raised when the device came back but could not be opened (no permission, held by another
  // program); the watch has ended.
  std::function<void(const PortFailure&)> onReopenFailed;
  // Something the operator should know that changes nothing in the panel (a device server
  // that set the line otherwise than asked).
  std::function<void(const std::string& notice)> onNotice;
};

}  // namespace mero::link
