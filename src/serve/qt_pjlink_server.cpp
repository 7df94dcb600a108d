#include "serve/qt_pjlink_server.h"

#include <QCryptographicHash>
#include <QHostAddress>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <array>
#include <cstdio>

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

PjlinkServer::PjlinkServer(PjlinkBridge& bridge, std::string password, ServiceFigures& figures,
                           PjlinkLimits limits)
    : bridge_(bridge), password_(std::move(password)), figures_(figures), limits_(limits) {
  server_.setMaxPendingConnections(limits_.mostClients);
  connect(&server_, &QTcpServer::newConnection, this, &PjlinkServer::accept);
}

PjlinkServer::~PjlinkServer() {
  server_.close();
  // Before the members they count on go.
  qDeleteAll(findChildren<PjlinkConnection*>(Qt::FindDirectChildrenOnly));
}

bool PjlinkServer::listen(const std::string& host, std::uint16_t port, std::string* error) {
  if (server_.listen(QHostAddress(QString::fromStdString(host)), port)) return true;
  if (error != nullptr) *error = server_.errorString().toStdString();
  return false;
}

void PjlinkServer::accept() {
  while (QTcpSocket* socket = server_.nextPendingConnection()) {
    if (clients_ >= limits_.mostClients) {
      ++figures_.pjlinkRefused;
      socket->abort();
      socket->deleteLater();
      continue;
    }
    ++clients_;
    new PjlinkConnection(*this, socket);
  }
}

PjlinkConnection::PjlinkConnection(PjlinkServer& server, QTcpSocket* socket)
    : QObject(&server),
      server_(server),
      socket_(socket),
      session_(SessionFor(server.password_, server.limits_)) {
  socket_->setParent(this);
  socket_->setReadBufferSize(server_.limits_.readChunk);
  idle_.setSingleShot(true);
  idle_.setInterval(server_.limits_.idleMs);
  connect(&idle_, &QTimer::timeout, this, [this] { closeWith({}); });
  connect(socket_, &QTcpSocket::readyRead, this, &PjlinkConnection::pump);
  connect(socket_, &QTcpSocket::disconnected, this, &QObject::deleteLater);
  connect(socket_, &QTcpSocket::errorOccurred, this, [this] {
    if (socket_->state() == QAbstractSocket::UnconnectedState) deleteLater();
  });
  write(session_.greeting());
  idle_.start();
}

PjlinkConnection::~PjlinkConnection() {
  *alive_ = false;
  --server_.clients_;
}

void PjlinkConnection::write(const std::string& text) {
  if (closing_) return;
  socket_->write(text.data(), static_cast<qint64>(text.size()));
  if (socket_->bytesToWrite() > server_.limits_.mostUnsentBytes) {
    closing_ = true;
    socket_->abort();
    deleteLater();
  }
}

void PjlinkConnection::closeWith(const std::string& text) {
  write(text);
  closing_ = true;
  idle_.stop();
  socket_->disconnectFromHost();  // once what was written has gone
  if (socket_->state() == QAbstractSocket::UnconnectedState) deleteLater();
}

void PjlinkConnection::pump() {
  if (pumping_) return;
  pumping_ = true;
  while (!busy_ && !closing_) {
    std::optional<SessionStep> step = session_.next();
    if (!step) {
      if (socket_->bytesAvailable() == 0) break;
      const QByteArray bytes = socket_->read(server_.limits_.readChunk);
      if (!session_.receive(
              std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())))) {
        ++server_.figures_.pjlinkRefused;
        closeWith({});
      }
      continue;
    }
    idle_.start();
    if (step->kind == SessionStep::Kind::Close) {
      ++server_.figures_.pjlinkRefused;
      closeWith(step->text);
    } else if (step->kind == SessionStep::Kind::Answer) {
      write(step->text);
    } else {
      busy_ = true;
      server_.bridge_.answer(
          step->command, step->parameter,
          [this, alive = alive_, command = step->command](const std::string& result) {
            if (!*alive) return;
            server_.onRequestAnswered();
            write(PjlinkSession::AnswerLine(command, result));
            busy_ = false;
            if (!pumping_) pump();
          });
    }
  }
  pumping_ = false;
}

}  // namespace mero::serve
