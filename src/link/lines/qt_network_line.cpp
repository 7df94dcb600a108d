#include "link/lines/qt_network_line.h"

#include <netdb.h>
#include <sys/socket.h>

#include <QByteArray>
#include <QMetaObject>
#include <algorithm>
#include <mutex>
#include <thread>
#include <utility>

namespace mero::link {

// One name lookup on a thread of its own. The line may go (closed, or the program ending)
// before the name server answers: it then cancels the lookup, and the thread, which nothing
// waits for, drops the answer. An answer already queued when the line goes is dropped by Qt
// with the line. Whatever a line still holds when the program ends goes with it.
class HostLookup {
 public:
  explicit HostLookup(QtNetworkLine* line) : line_(line) {}

  void cancel() {
    const std::lock_guard lock(mutex_);
    line_ = nullptr;
  }

  // On the lookup's thread: hands the answer to the line on its own thread, if still wanted.
  void deliver(std::function<void()> answer) {
    const std::lock_guard lock(mutex_);
    if (line_ != nullptr) QMetaObject::invokeMethod(line_, std::move(answer), Qt::QueuedConnection);
  }

 private:
  std::mutex mutex_;
  QtNetworkLine* line_;
};

namespace {

std::string ShowLine(const LineSettings& line) { return SettingsText(line); }

void LookUp(const std::shared_ptr<HostLookup>& lookup, const std::string& host, std::uint16_t port,
            std::function<void(const std::vector<QHostAddress>&, const std::string&)> answer) {
  std::thread([lookup, host, port, answer = std::move(answer)] {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int status = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    std::vector<QHostAddress> addresses;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
      QHostAddress address(a->ai_addr);
      if (!address.isNull() &&
          std::find(addresses.begin(), addresses.end(), address) == addresses.end()) {
        addresses.push_back(address);
      }
    }
    if (found != nullptr) ::freeaddrinfo(found);
    const std::string error = status == 0 ? std::string() : ::gai_strerror(status);
    lookup->deliver([answer, addresses, error] { answer(addresses, error); });
  }).detach();
}

}  // namespace

QtNetworkLine::QtNetworkLine(const std::string& address, QObject* parent)
    : QObject(parent),
      address_(ParseNetworkAddress(address)),
      pacer_({.buffered = [this] { return socket_.bytesAvailable(); },
              .limitBuffer = [this](qint64 size) { socket_.setReadBufferSize(size); },
              .descriptor = [this] { return static_cast<int>(socket_.socketDescriptor()); },
              .usualLimit = static_cast<qint64>(kReadChunkLimit)},
             [this] { read(); }) {
  socket_.setReadBufferSize(static_cast<qint64>(kReadChunkLimit));
  deadline_.setSingleShot(true);
  deadline_.setInterval(kConnectLimitMs);
  connect(&deadline_, &QTimer::timeout, this, [this] {
    fail({LineFailure::Kind::Unreachable,
          "it did not answer within " + std::to_string(kConnectLimitMs / 1000) + " seconds"});
  });
  connect(&socket_, &QTcpSocket::connected, this, &QtNetworkLine::onConnected);
  connect(&socket_, &QTcpSocket::readyRead, &pacer_, &ArrivalPacer::arrived);
  connect(&socket_, &QTcpSocket::errorOccurred, this, &QtNetworkLine::onSocketError);
  connect(&socket_, &QTcpSocket::disconnected, this, [this] {
    fail({LineFailure::Kind::Lost, "the server closed it"});
  });
}

QtNetworkLine::~QtNetworkLine() {
  if (lookup_) lookup_->cancel();
  // The socket reports its own end while it goes; nothing here may hear it then.
  socket_.disconnect(this);
  socket_.disconnect(&pacer_);
  socket_.abort();
}

Line::Opening QtNetworkLine::open(const LineSettings& settings) {
  close();
  if (!address_) {
    failure_ = {LineFailure::Kind::Invalid,
                "is not a valid address: name a device server as tcp://HOST:PORT or "
                "rfc2217://HOST:PORT (an IPv6 HOST in brackets)."};
    return Opening::Failed;
  }
  requested_ = settings;
  failure_ = {};
  telnet_ = TelnetComPort();
  requests_ = 0;
  lineChecked_ = !setsLine();
  refusalReported_ = false;
  live_ = true;
  opening_ = true;
  deadline_.start();
  const QHostAddress literal(QString::fromStdString(address_->host));
  if (!literal.isNull()) {
    // On the next turn of the event loop: a line closed and opened again at once (as the
    // start-up does) then makes one connection, not two, to a server that may take one client.
    later([this, literal] { looked({literal}, {}); });
  } else {
    lookup_ = std::make_shared<HostLookup>(this);
    LookUp(lookup_, address_->host, address_->port,
           [this, attempt = attempts_](const std::vector<QHostAddress>& addresses,
                                       const std::string& error) {
             if (attempt == attempts_) looked(addresses, error);
           });
  }
  return Opening::Pending;
}

void QtNetworkLine::looked(const std::vector<QHostAddress>& addresses, const std::string& error) {
  lookup_.reset();
  if (addresses.empty()) {
    fail({LineFailure::Kind::Unreachable,
          "its name was not found" + (error.empty() ? std::string() : " (" + error + ")")});
    return;
  }
  addresses_ = addresses;
  nextAddress_ = 0;
  connectNext();
}

void QtNetworkLine::connectNext() {
  const QHostAddress address = addresses_[nextAddress_++];
  socket_.connectToHost(address, address_->port);
}

void QtNetworkLine::onSocketError() {
  // A name with several addresses: the next one may answer.
  if (opening_ && !connected() && nextAddress_ < addresses_.size()) {
    const QSignalBlocker quiet(&socket_);
    socket_.abort();
    later([this] { connectNext(); });
    return;
  }
  fail({opening_ ? LineFailure::Kind::Unreachable : LineFailure::Kind::Lost,
        socket_.errorString().toStdString()});
}

void QtNetworkLine::onConnected() {
  deadline_.stop();
  opening_ = false;
  socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
  std::string first = std::exchange(pending_, {});
  if (setsLine()) {
    ++requests_;
    first = TelnetComPort::Greeting() + TelnetComPort::SetLine(requested_) + first;
  }
  if (!first.empty() && !send(first)) return;
  if (onOpened) onOpened();
}

void QtNetworkLine::close() {
  deadline_.stop();
  pacer_.reset();
  if (lookup_) {
    lookup_->cancel();
    lookup_.reset();
  }
  live_ = false;
  opening_ = false;
  ++attempts_;
  received_.clear();
  pending_.clear();
  addresses_.clear();
  if (socket_.state() == QAbstractSocket::UnconnectedState) return;
  // No reports for a connection ended on purpose.
  const QSignalBlocker quiet(&socket_);
  socket_.abort();
}

bool QtNetworkLine::write(const Bytes& bytes) {
  if (!isOpen()) return false;
  const Bytes wire = setsLine() ? TelnetComPort::Escape(bytes) : bytes;
  // Until connected, it waits here: the socket takes writes only once it has a connection.
  if (!connected()) {
    if (pending_.size() + wire.size() > kWriteBacklogLimit) return false;
    pending_ += wire;
    return true;
  }
  return send(wire);
}

// Everything for the server goes through here, so that what waits for a server that does
// not read stays bounded: at the bound the line is lost.
bool QtNetworkLine::send(const std::string& wire) {
  if (static_cast<std::size_t>(socket_.bytesToWrite()) + wire.size() > kWriteBacklogLimit) {
    fail({LineFailure::Kind::Lost, "the server stopped reading"});
    return false;
  }
  if (socket_.write(wire.data(), static_cast<qint64>(wire.size())) !=
      static_cast<qint64>(wire.size())) {
    return false;
  }
  // On the wire now, as on a local port, rather than at the next turn of the event loop.
  socket_.flush();
  return true;
}

Bytes QtNetworkLine::takeAll() { return std::exchange(received_, {}); }

bool QtNetworkLine::apply(const LineSettings& settings) {
  requested_ = settings;
  if (!setsLine()) {
    if (onNotice) {
      onNotice("this is a raw TCP connection, whose speed is set on the device server, so " +
               SettingsText(settings) +
               " applies to nothing there. Use an rfc2217:// address to set it from here");
    }
    return true;
  }
  if (!connected()) return true;  // sent on connecting
  ++requests_;
  lineChecked_ = false;
  send(TelnetComPort::SetLine(settings));
  return true;
}

void QtNetworkLine::fail(LineFailure failure) {
  if (!live_) return;  // closed, or already reported
  close();
  if (failure.kind == LineFailure::Kind::Lost && failure.detail.empty()) {
    failure.detail = "the server closed it";
  }
  failure_ = failure;
  // From the event loop, after the socket's own signal has returned.
  later([this, failure] {
    if (onFailed) onFailed(failure);
  });
}

void QtNetworkLine::later(std::function<void()> step) {
  QMetaObject::invokeMethod(
      this,
      [this, step = std::move(step), attempt = attempts_] {
        if (attempt == attempts_) step();
      },
      Qt::QueuedConnection);
}

void QtNetworkLine::read() {
  if (!live_ || !connected()) return;
  const QByteArray bytes = socket_.readAll();
  const std::string_view view(bytes.constData(), static_cast<std::size_t>(bytes.size()));
  if (!setsLine()) {
    received_.append(view);
  } else {
    std::string answer;
    received_ += telnet_.receive(view, answer);
    if (!answer.empty() && !send(answer)) return;
    checkLine();
  }
  if (!received_.empty() && onArrival) onArrival();
}

void QtNetworkLine::checkLine() {
  if (telnet_.comPortRefused() && !refusalReported_) {
    refusalReported_ = true;
    if (onNotice) onNotice("the server does not take line settings (RFC 2217)");
    return;
  }
  // The server answers requests in turn: only the answer to the last one counts, and it is
  // complete with its stop size.
  if (lineChecked_ || telnet_.answersReceived() < requests_) return;
  lineChecked_ = true;
  const std::vector<std::string> mismatches = telnet_.mismatches(requested_);
  if (mismatches.empty() || !onNotice) return;
  std::string what = "the server set the line to ";
  for (std::size_t i = 0; i < mismatches.size(); ++i) {
    if (i > 0) what += i + 1 == mismatches.size() ? " and " : ", ";
    what += mismatches[i];
  }
  onNotice(what + " (asked for " + ShowLine(requested_) + ")");
}

}  // namespace mero::link
