#include "serve/qt_maintenance_server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDateTime>
#include <utility>

namespace mero::serve {
namespace {

// Out of descriptors, accepting again at once would only fail again.
constexpr int kAcceptPauseMs = 1000;
// There is no idle deadline, so a peer that vanished without a word (a laptop unplugged) is
// found by the kernel's probes instead: within about a minute and a half, and the port is free.
constexpr int kKeepIdleSeconds = 60;
constexpr int kKeepIntervalSeconds = 10;
constexpr int kKeepProbes = 3;

void TuneSocket(int fd) {
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleSeconds, sizeof kKeepIdleSeconds);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalSeconds, sizeof kKeepIntervalSeconds);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepProbes, sizeof kKeepProbes);
  // A reply is a few bytes the panel waits for: it must not wait for the last one's ACK.
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace

struct MaintenanceServer::Connection {
  Connection(int fd, std::string from, MaintenanceServer& server)
      : socket(fd),
        session(socket, deadline, server.engine_, server.limits_),
        address(std::move(from)),
        since(QDateTime::currentDateTime().toString("HH:mm:ss").toStdString()) {}

  QtStreamSocket socket;
  QtLoopTimer deadline;
  MaintenanceSession session;
  std::string address;
  std::string since;
};

MaintenanceServer::MaintenanceServer(std::string projector, link::ExchangeEngine& engine,
                                     ProjectorFigures& figures, Log log, MaintenanceLimits limits)
    : projector_(std::move(projector)),
      engine_(engine),
      figures_(figures),
      log_(std::move(log)),
      limits_(limits) {
  resume_.setSingleShot(true);
  connect(&resume_, &QTimer::timeout, this, [this] { listener_.setAccepting(true); });
  listener_.onConnection = [this](int fd) { incoming(fd); };
  listener_.onAcceptFailed = [this](int) {
    listener_.setAccepting(false);
    resume_.start(kAcceptPauseMs);
  };
}

MaintenanceServer::~MaintenanceServer() {
  holder_.reset();
  leaving_.reset();
  figures_.maintenanceSince.reset();
}

bool MaintenanceServer::listen(const std::string& host, std::uint16_t port, std::string* error) {
  return listener_.listen(host, port, error);
}

void MaintenanceServer::incoming(int fd) {
  std::string address = QtStreamSocket::PeerAddress(fd);
  if (holder_) {
    refuse(fd, address);
    return;
  }
  TuneSocket(fd);
  holder_ = std::make_unique<Connection>(fd, address, *this);
  holder_->session.onCommand = [this](const ExchangeResult& result) {
    ++figures_.maintenanceCommands[static_cast<std::size_t>(result.kind)];
  };
  holder_->session.onClosed = [this](const std::string& why) { closed(why); };
  figures_.maintenanceSince = static_cast<double>(QDateTime::currentSecsSinceEpoch());
  turnedAway_ = 0;
  log_(Priority::Notice, "maintenance client " + address + " connected");
  holder_->session.start();
}

// Told in one line, written at once: a fresh socket's buffer takes it whole, and what it does
// not take is not waited for.
void MaintenanceServer::refuse(int fd, const std::string& address) {
  ++figures_.maintenanceRefused;
  const std::string text = "maintenance port of [" + projector_ + "] is in use by " +
                           holder_->address + " since " + holder_->since + "\r\n";
  [[maybe_unused]] const ssize_t sent =
      ::send(fd, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  ::shutdown(fd, SHUT_WR);
  ::close(fd);
  if (turnedAway_++ == 0) {
    log_(Priority::Warning, "maintenance client " + address + " turned away: " + holder_->address +
                                " holds the port since " + holder_->since);
  }
}

void MaintenanceServer::closed(const std::string& why) {
  std::string text =
      "maintenance client " + holder_->address + (why.empty() ? " left" : " closed: " + why);
  if (turnedAway_ > 0) text += "; " + std::to_string(turnedAway_) + " turned away meanwhile";
  log_(why.empty() ? Priority::Notice : Priority::Warning, text);
  figures_.maintenanceSince.reset();
  // Not now: the session is still on the stack.
  leaving_ = std::move(holder_);
  QMetaObject::invokeMethod(
      this, [this] { leaving_.reset(); }, Qt::QueuedConnection);
}

}  // namespace mero::serve
