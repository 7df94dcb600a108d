#pragma once

#include <QObject>
#include <QTimer>
#include <cstdint>
#include <memory>
#include <string>

#include "link/port/exchange_engine.h"
#include "serve/log.h"
#include "serve/maintenance_session.h"
#include "serve/metrics.h"
#include "serve/qt_stream_socket.h"

namespace mero::serve {

// One projector's maintenance port: a raw TCP line for one client at a time, whose commands
// take their turn on the projector's engine. A newcomer while it is held is told who holds it
// and closed; the holder keeps it.
class MaintenanceServer : public QObject {
  Q_OBJECT
 public:
  MaintenanceServer(std::string projector, link::ExchangeEngine& engine, ProjectorFigures& figures,
                    Log log, MaintenanceLimits limits = {});
  ~MaintenanceServer() override;
  MaintenanceServer(const MaintenanceServer&) = delete;
  MaintenanceServer& operator=(const MaintenanceServer&) = delete;

  // False with the system's reason when the address cannot be listened on.
  bool listen(const std::string& host, std::uint16_t port, std::string* error);
  std::uint16_t port() const { return listener_.port(); }
  bool held() const { return holder_ != nullptr; }

 private:
  struct Connection;

  void incoming(int fd);
  void refuse(int fd, const std::string& address);
  void closed(const std::string& why);

  std::string projector_;
  link::ExchangeEngine& engine_;
  ProjectorFigures& figures_;
  Log log_;
  MaintenanceLimits limits_;
  QtListener listener_;
  QTimer resume_;
  std::unique_ptr<Connection> holder_;
  std::unique_ptr<Connection> leaving_;  // closed, deleted once its callbacks have returned
  int turnedAway_ = 0;                   // while the present holder holds the port
};

}  // namespace mero::serve
