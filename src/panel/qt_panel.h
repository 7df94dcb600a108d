#pragma once

#include <QObject>
#include <QString>
#include <memory>

#include "link/qt_serial_port.h"
#include "link/qt_timer.h"
#include "panel/form.h"
#include "panel/qt_window.h"

namespace mero::panel {

// The devices behind COM1 and COM2.
struct PortDevices {
  QString com1 = QStringLiteral("/dev/ttyS0");
  QString com2 = QStringLiteral("/dev/ttyS1");
};

// The running panel: the window, the serial port, the four timers and the form logic wired
// together. load() runs the start-up sequence; show the window after it.
class QtPanel {
 public:
  explicit QtPanel(const PortDevices& devices);

  void load() { form_.Form_Load(); }

  QtWindow& window() { return window_; }
  Form1& form() { return form_; }
  link::QtSerialPort& port() { return port_; }

 private:
  link::QtSerialPort port_;
  link::QtTimer timer1_, timer2_, timer3_, timer4_;
  QtWindow window_;
  Form1 form_;
};

}  // namespace mero::panel
