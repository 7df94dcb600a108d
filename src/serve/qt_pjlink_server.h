#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "serve/log.h"
#include "serve/metrics.h"
#include "serve/pjlink_admission.h"
#include "serve/pjlink_bridge.h"
#include "serve/pjlink_client.h"
#include "serve/pjlink_session.h"
#include "serve/qt_stream_socket.h"

namespace mero::serve {

// The MD5 digest PJLink's authentication expects, in lower-case hexadecimal: of the
// greeting's random digits followed by the password.
std::string PjlinkDigest(std::string_view random, std::string_view password);

// One projector's PJLink Class 1 server: a greeting, then each request answered through the
// bridge, in order, one at a time per client, within the limits.
class PjlinkServer : public QObject, private PjlinkClientOwner {
  Q_OBJECT
 public:
  PjlinkServer(PjlinkBridge& bridge, std::string password, ServiceFigures& figures,
               PjlinkLimits limits = {}, Log log = {});
  ~PjlinkServer() override;
  PjlinkServer(const PjlinkServer&) = delete;
  PjlinkServer& operator=(const PjlinkServer&) = delete;

  // False with the system's reason when the address cannot be listened on.
  bool listen(const std::string& host, std::uint16_t port, std::string* error);
  std::uint16_t port() const { return listener_.port(); }
  int clients() const { return static_cast<int>(connections_.size()); }

  std::function<void()> onRequestAnswered = [] {};

 private:
  struct Connection;

  void incoming(int fd);
  void turnedAway(PjlinkRefusal why, const std::string& address);
  void acceptFailed(int error);
  void resume();
  void say(const std::string& text) const;

  void authenticated(std::uint64_t id) override;
  int failed(const std::string& address) override;
  void refused(PjlinkRefusal why) override;
  void answered() override;
  void finished(std::uint64_t id) override;

  PjlinkBridge& bridge_;
  std::string password_;
  ServiceFigures& figures_;
  PjlinkLimits limits_;
  Log log_;
  QtListener listener_;
  QTimer resume_;
  QElapsedTimer clock_;
  QtLoopTimer failureTimer_;
  PjlinkAdmission admission_;
  PjlinkFailures failures_;
  std::uint64_t nextId_ = 0;
  int turnedAway_ = 0;
  std::optional<std::int64_t> turnedAwayTold_;
  int failedAccepts_ = 0;  // of the present pause, none when accepting
  bool pauseTold_ = false;
  std::optional<std::int64_t> pauseToldAt_;
  std::map<std::uint64_t, std::unique_ptr<Connection>> connections_;
};

}  // namespace mero::serve
