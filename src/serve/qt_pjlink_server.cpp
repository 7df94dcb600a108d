#include "serve/qt_pjlink_server.h"

#include <unistd.h>

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <array>
#include <cstdio>
#include <system_error>

namespace mero::serve {
namespace {

std::string RandomDigits() {
  std::array<char, 9> digits{};
  std::snprintf(digits.data(), digits.size(), "%08x", QRandomGenerator::system()->generate());
  return digits.data();
}

PjlinkSession SessionFor(const std::string& password, const PjlinkLimits& limits) {
  if (password.empty()) return PjlinkSession(std::nullopt, {}, limits.mostPendingBytes);
  std::string random = RandomDigits();
  std::string digest = PjlinkDigest(random, password);
  return PjlinkSession(std::move(digest), std::move(random), limits.mostPendingBytes);
}

}  // namespace

std::string PjlinkDigest(std::string_view random, std::string_view password) {
  QCryptographicHash hash(QCryptographicHash::Md5);
  hash.addData(QByteArrayView(random.data(), static_cast<qsizetype>(random.size())));
  hash.addData(QByteArrayView(password.data(), static_cast<qsizetype>(password.size())));
  return hash.result().toHex().toStdString();
}

// A client's socket, its deadline and its logic, which counts on both.
struct PjlinkServer::Connection {
  Connection(int fd, std::uint64_t id, std::string address, PjlinkServer& server)
      : socket(fd),
        client(id, std::move(address), socket, deadline, server.bridge_,
               SessionFor(server.password_, server.limits_), server.limits_, server) {}

  QtStreamSocket socket;
  QtLoopTimer deadline;
  PjlinkClient client;
};

PjlinkServer::PjlinkServer(PjlinkBridge& bridge, std::string password, ServiceFigures& figures,
                           PjlinkLimits limits, Log log)
    : bridge_(bridge),
      password_(std::move(password)),
      figures_(figures),
      limits_(limits),
      log_(std::move(log)),
      admission_(limits_),
      failures_(
          limits_, failureTimer_, [this] { return clock_.elapsed(); }, log_) {
  clock_.start();
  resume_.setSingleShot(true);
  connect(&resume_, &QTimer::timeout, this, &PjlinkServer::resume);
  listener_.onConnection = [this](int fd) { incoming(fd); };
  listener_.onAcceptFailed = [this](int error) { acceptFailed(error); };
}

PjlinkServer::~PjlinkServer() { connections_.clear(); }

bool PjlinkServer::listen(const std::string& host, std::uint16_t port, std::string* error) {
  return listener_.listen(host, port, error);
}

void PjlinkServer::say(const std::string& text) const {
  if (log_) log_(Priority::Warning, text);
}

void PjlinkServer::incoming(int fd) {
  if (pauseTold_ && log_) {
    log_(Priority::Notice, "PJLink accepts again, after " + std::to_string(failedAccepts_) +
                               " accepts failed for want of descriptors");
  }
  pauseTold_ = false;
  failedAccepts_ = 0;
  const std::uint64_t id = ++nextId_;
  std::string address = QtStreamSocket::PeerAddress(fd);
  const PjlinkAdmission::Decision decision = admission_.admit(id, address);
  if (decision.refusal) {
    figures_.refuse(*decision.refusal);
    turnedAway(*decision.refusal, address);
    ::close(fd);
    return;
  }
  if (decision.evicted) {
    const auto it = connections_.find(*decision.evicted);
    if (it != connections_.end()) it->second->client.evict();
  }
  auto& made = connections_[id];
  made = std::make_unique<Connection>(fd, id, std::move(address), *this);
  made->client.start();
}

// The first newcomer turned away is told, then at most one line a minute.
void PjlinkServer::turnedAway(PjlinkRefusal why, const std::string& address) {
  ++turnedAway_;
  const std::int64_t now = clock_.elapsed();
  if (turnedAwayTold_ && now - *turnedAwayTold_ < PjlinkFailures::kWindowMs) return;
  const std::string reason(kPjlinkRefusalNames[static_cast<std::size_t>(why)]);
  say(turnedAwayTold_
          ? "PJLink turned " + std::to_string(turnedAway_) +
                " newcomers away in the last minute, the last " + address + " (" + reason + ")"
          : "PJLink turns a newcomer away: " + address + " (" + reason + ")");
  turnedAwayTold_ = now;
  turnedAway_ = 0;
}

void PjlinkServer::acceptFailed(int error) {
  listener_.setAccepting(false);
  ++figures_.pjlinkAcceptPauses;
  // Near the bound every accept ends a pause and starts the next: one line a minute.
  const std::int64_t now = clock_.elapsed();
  if (failedAccepts_++ == 0 &&
      (!pauseToldAt_ || now - *pauseToldAt_ >= PjlinkFailures::kWindowMs)) {
    say("PJLink stops accepting for a moment: " +
        std::error_code(error, std::system_category()).message());
    pauseTold_ = true;
    pauseToldAt_ = now;
  }
  resume_.start(limits_.acceptPauseMs);
}

void PjlinkServer::resume() {
  resume_.stop();
  listener_.setAccepting(true);
}

void PjlinkServer::authenticated(std::uint64_t id) { admission_.authenticated(id); }

int PjlinkServer::failed(const std::string& address) { return failures_.failed(address); }

void PjlinkServer::refused(PjlinkRefusal why) { figures_.refuse(why); }

void PjlinkServer::answered() { onRequestAnswered(); }

void PjlinkServer::finished(std::uint64_t id) {
  admission_.release(id);
  if (failedAccepts_ > 0) resume();  // a descriptor is free
  // Not now: the client is still on the stack.
  QMetaObject::invokeMethod(
      this, [this, id] { connections_.erase(id); }, Qt::QueuedConnection);
}

}  // namespace mero::serve
