#pragma once

#include <QObject>
#include <QTcpServer>
#include <QTimer>
#include <memory>
#include <string>

#include "serve/metrics.h"
#include "serve/pjlink_bridge.h"
#include "serve/pjlink_session.h"

class QTcpSocket;

namespace mero::serve {

class PjlinkConnection;

// The MD5 digest PJLink's authentication expects, in lower-case hexadecimal: of the
// greeting's random digits followed by the password.
std::string PjlinkDigest(std::string_view random, std::string_view password);

// One projector's PJLink Class 1 server: a greeting, then each request answered through the
// bridge, in order, one at a time per client.
class PjlinkServer : public QObject {
  Q_OBJECT
 public:
  PjlinkServer(PjlinkBridge& bridge, std::string password, ServiceFigures& figures,
               PjlinkLimits limits = {});
  ~PjlinkServer() override;

  // False with the system's reason when the address cannot be listened on.
  bool listen(const std::string& host, std::uint16_t port, std::string* error);
  std::uint16_t port() const { return server_.serverPort(); }
  int clients() const { return clients_; }

 private:
  friend class PjlinkConnection;

  void accept();

  PjlinkBridge& bridge_;
  std::string password_;
  ServiceFigures& figures_;
  PjlinkLimits limits_;
  QTcpServer server_;
  int clients_ = 0;
};

// A client of a PjlinkServer; deletes itself when the client is gone.
class PjlinkConnection : public QObject {
  Q_OBJECT
 public:
  PjlinkConnection(PjlinkServer& server, QTcpSocket* socket);
  ~PjlinkConnection() override;

 private:
  void pump();
  void write(const std::string& text);
  void closeWith(const std::string& text);

  PjlinkServer& server_;
  QTcpSocket* socket_;
  PjlinkSession session_;
  QTimer idle_;
  bool busy_ = false;
  bool pumping_ = false;
  bool closing_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace mero::serve
