#pragma once

#include <functional>
#include <string>

#include "link/protocol/bytes.h"

namespace mero::panel {

// A failed port operation, in words for the operator.
struct PortFailure {
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
  virtual bool write(const link::Bytes& text) = 0;
  // Everything waiting in the input queue; empties the queue.
  virtual link::Bytes takeAll() = 0;
  // The failure of the last operation that returned false.
  virtual PortFailure lastFailure() const = 0;

  // Raised with kEventReceive as soon as at least one byte waits.
  std::function<void(int kind)> onEvent;
  // Waits for the device of COM<number> to come back and then opens it as COM<number> with
  // the current settings, trying again with growing pauses while it refuses. Any open, close
  // or port-number change ends the wait.
  virtual void reopenWhenBack(int number) = 0;
  virtual bool isWatching() const = 0;

  // Raised once when the open port fails under us (device gone, read or write error, a
  // device server that went away or was never reached); the port has been closed by then.
  std::function<void(const PortFailure&)> onLost;
  // Raised when the wait has opened the port again, with a notice for the operator.
  std::function<void(const std::string& notice)> onRestored;
  // Something the operator should know: a device that came back but refuses to open (held by
  // another program, no permission) while the wait goes on, or a device server that set the
  // line otherwise than asked. Raised once for each new text.
  std::function<void(const std::string& notice)> onNotice;
};

}  // namespace mero::panel
