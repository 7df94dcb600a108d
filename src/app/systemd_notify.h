#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <string>

#include "serve/log.h"
#include "serve/systemd_state.h"

namespace mero::app {

// Tells systemd, on the socket NOTIFY_SOCKET names, when the service is ready, reloading or
// stopping and what it serves, and feeds its watchdog from the event loop, so that a loop that
// hangs is restarted. Without NOTIFY_SOCKET it does nothing.
//
// The datagrams are sent by hand rather than with sd_notify(3): libsystemd's send waits while
// the manager's queue is full, and this one runs on the event loop.
class SystemdNotify : public QObject {
  Q_OBJECT
 public:
  SystemdNotify(std::function<serve::ServiceSummary()> summary, serve::Log log);
  ~SystemdNotify() override;
  SystemdNotify(const SystemdNotify&) = delete;
  SystemdNotify& operator=(const SystemdNotify&) = delete;

  // `note` stays in the status line until the next ready().
  void ready(const std::string& note = {});
  void reloading();
  void stopping();

 private:
  bool send(const std::string& message);

  std::function<serve::ServiceSummary()> summary_;
  serve::Log log_;
  std::string address_;
  int fd_ = -1;
  bool failing_ = false;
  serve::SystemdState state_;
  QTimer watchdog_;
  QTimer refresh_;
};

}  // namespace mero::app
