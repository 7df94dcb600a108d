#pragma once

#include <QFile>
#include <QObject>
#include <QString>
#include <memory>

#include "link/lines/qt_timer.h"
#include "link/port/traffic_log.h"
#include "panel/form.h"
#include "panel/logged_port.h"
#include "panel/qt_com_port.h"
#include "panel/qt_window.h"

namespace mero::panel {

// The devices behind COM1 and COM2.
struct PortDevices {
  link::ComDevice com1{link::kFallbackCom1, {}, false};
  link::ComDevice com2{link::kFallbackCom2, {}, false};

  PortDevices() = default;
  PortDevices(link::ComDevice first, link::ComDevice second)
      : com1(std::move(first)), com2(std::move(second)) {}
  PortDevices(const QString& first, const QString& second)
      : com1{QFile::encodeName(first).toStdString(), {}, false},
        com2{QFile::encodeName(second).toStdString(), {}, false} {}
};

// The running panel: the window, the serial port, the four timers and the form logic wired
// together. load() runs the start-up sequence; show the window after it.
class QtPanel {
 public:
  explicit QtPanel(const PortDevices& devices);

  void load(const StartChoices& start = {}) { form_.Form_Load(start); }

  QtWindow& window() { return window_; }
  Form1& form() { return form_; }
  QtComPort& port() { return port_; }
  // Every send and arrival goes to `log` from now on; nullptr stops it.
  void setTrafficLog(link::TrafficLog* log) { loggedPort_.setLog(log); }

 private:
  // The device behind each port option, as its tool tip, read when the tip is asked for.
  void showDevicesAsToolTips();

  QtComPort port_;
  LoggedPort loggedPort_;
  link::QtTimer timer1_, timer2_, timer3_, timer4_;
  QtWindow window_;
  Form1 form_;
  std::unique_ptr<QObject> toolTips_;
};

}  // namespace mero::panel
