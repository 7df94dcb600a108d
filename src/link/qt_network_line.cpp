#include "link/qt_network_line.h"

#include <QByteArray>

namespace mero::link {
namespace {

std::string ShowLine(const TelnetComPort::Line& line) {
  const std::string stop = line.stopBits == 3 ? "1.5" : std::to_string(line.stopBits);
  return std::to_string(line.baud) + "," + line.parity + "," + std::to_string(line.dataBits) + "," +
         stop;
}

}  // namespace

NetworkLine::NetworkLine(QObject* parent) : QObject(parent) {
  deadline_.setSingleShot(true);
  deadline_.setInterval(kConnectLimitMs);
  connect(&deadline_, &QTimer::timeout, this, [this] {
    fail("it did not answer within " + std::to_string(kConnectLimitMs / 1000) + " seconds");
  });
  connect(&socket_, &QTcpSocket::connected, this, [this] {
    deadline_.stop();
    wasConnected_ = true;
    socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    std::string first = std::exchange(pending_, {});
    if (setsLine()) {
      ++requests_;
      first = TelnetComPort::Greeting() + TelnetComPort::SetLine(requested_) + first;
    }
    if (!first.empty()) {
      socket_.write(first.data(), static_cast<qint64>(first.size()));
      socket_.flush();
    }
    if (onConnected) onConnected();
  });
  connect(&socket_, &QTcpSocket::readyRead, this, &NetworkLine::read);
  connect(&socket_, &QTcpSocket::errorOccurred, this,
          [this] { fail(socket_.errorString().toStdString()); });
  connect(&socket_, &QTcpSocket::disconnected, this, [this] { fail("the server closed it"); });
}

NetworkLine::~NetworkLine() {
  // The socket reports its own end while it goes; nothing here may hear it then.
  socket_.disconnect(this);
  socket_.abort();
}

void NetworkLine::open(const NetworkAddress& address, const TelnetComPort::Line& line) {
  close();
  address_ = address;
  requested_ = line;
  telnet_ = TelnetComPort();
  requests_ = 0;
  lineChecked_ = !setsLine();
  refusalReported_ = false;
  wasConnected_ = false;
  deadline_.start();
  socket_.connectToHost(QString::fromStdString(address.host), address.port);
}

void NetworkLine::close() {
  deadline_.stop();
  received_.clear();
  pending_.clear();
  if (socket_.state() == QAbstractSocket::UnconnectedState) return;
  // No reports for a connection ended on purpose.
  const QSignalBlocker quiet(&socket_);
  socket_.abort();
}

bool NetworkLine::write(const Bytes& text) {
  if (!isOpen()) return false;
  const Bytes wire = setsLine() ? TelnetComPort::Escape(text) : text;
  // Until connected, it waits here: the socket takes writes only once it has a connection.
  if (!isConnected()) {
    pending_ += wire;
    return true;
  }
  if (socket_.write(wire.data(), static_cast<qint64>(wire.size())) !=
      static_cast<qint64>(wire.size())) {
    return false;
  }
  // On the wire now, as on a local port, rather than at the next turn of the event loop.
  socket_.flush();
  return true;
}

Bytes NetworkLine::takeAll() { return std::exchange(received_, {}); }

void NetworkLine::setLine(const TelnetComPort::Line& line) {
  requested_ = line;
  if (!setsLine() || !isConnected()) return;  // sent on connecting
  ++requests_;
  lineChecked_ = false;
  const std::string request = TelnetComPort::SetLine(line);
  socket_.write(request.data(), static_cast<qint64>(request.size()));
}

void NetworkLine::fail(const std::string& reason) {
  if (socket_.state() == QAbstractSocket::UnconnectedState && !deadline_.isActive() &&
      !wasConnected_) {
    return;  // already reported
  }
  const bool wasConnected = wasConnected_;
  wasConnected_ = false;
  close();
  if (onFailed) onFailed(reason, wasConnected);
}

void NetworkLine::read() {
  const QByteArray bytes = socket_.readAll();
  const std::string_view view(bytes.constData(), static_cast<std::size_t>(bytes.size()));
  if (!setsLine()) {
    received_.append(view);
  } else {
    std::string answer;
    received_ += telnet_.Receive(view, answer);
    if (!answer.empty()) socket_.write(answer.data(), static_cast<qint64>(answer.size()));
    checkLine();
  }
  if (!received_.empty() && onData) onData();
}

void NetworkLine::checkLine() {
  if (telnet_.comPortRefused() && !refusalReported_) {
    refusalReported_ = true;
    if (onLineRefused) onLineRefused("the server does not take line settings (RFC 2217)");
    return;
  }
  // The server answers requests in turn: only the answer to the last one counts.
  if (lineChecked_ || telnet_.answersReceived() < requests_ || !telnet_.AllAnswered()) return;
  lineChecked_ = true;
  const TelnetComPort::Line confirmed{*telnet_.confirmedBaud(), *telnet_.confirmedDataBits(),
                                      *telnet_.confirmedParity(), *telnet_.confirmedStopBits()};
  if (confirmed != requested_ && onLineRefused) {
    onLineRefused("the server set the line to " + ShowLine(confirmed) + " instead of " +
                  ShowLine(requested_));
  }
}

}  // namespace mero::link
