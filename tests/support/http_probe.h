#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QTcpSocket>
#include <QTest>
#include <algorithm>
#include <cctype>
#include <charconv>
#include <fstream>
#include <map>
#include <optional>
#include <string>

namespace mero::test {

struct HttpReply {
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
};

// An HTTP client on a raw socket, for tests that send what a browser never would: pipelined
// requests, half a header, bodies the server should not read.
class HttpProbe {
 public:
  explicit HttpProbe(quint16 port, const QString& host = QStringLiteral("127.0.0.1")) {
    socket_.connectToHost(host, port);
    socket_.waitForConnected(5000);
  }

  bool connected() const { return socket_.state() == QAbstractSocket::ConnectedState; }
  // Whether everything was handed to the system (false once the server has closed).
  bool send(const std::string& bytes) {
    if (socket_.write(bytes.data(), static_cast<qint64>(bytes.size())) < 0) return false;
    return QTest::qWaitFor([&] { return socket_.bytesToWrite() == 0 || !connected(); }, 10000) &&
           connected();
  }
  // The next response, or nothing when none comes in full within the time.
  std::optional<HttpReply> reply(bool head = false, int withinMs = 5000) {
    std::optional<HttpReply> parsed;
    (void)QTest::qWaitFor(
        [&] {
          pending_ += socket_.readAll().toStdString();
          parsed = take(head);
          return parsed.has_value() || socket_.state() == QAbstractSocket::UnconnectedState;
        },
        withinMs);
    if (!parsed) parsed = take(head);
    return parsed;
  }
  // Whether the server closed the connection within the time.
  bool closed(int withinMs = 5000) {
    return QTest::qWaitFor(
        [&] {
          pending_ += socket_.readAll().toStdString();
          return socket_.state() == QAbstractSocket::UnconnectedState;
        },
        withinMs);
  }
  const std::string& unread() const { return pending_; }

 private:
  std::optional<HttpReply> take(bool head) {
    const auto end = pending_.find("\r\n\r\n");
    if (end == std::string::npos) return std::nullopt;
    HttpReply reply;
    const std::string top = pending_.substr(0, end);
    std::size_t at = top.find("\r\n");
    const std::string status = top.substr(0, at);
    if (status.size() < 12) return std::nullopt;
    std::from_chars(status.data() + 9, status.data() + 12, reply.status);
    while (at != std::string::npos) {
      const std::size_t next = top.find("\r\n", at + 2);
      const std::string line = top.substr(at + 2, next == std::string::npos ? next : next - at - 2);
      const auto colon = line.find(':');
      if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        std::ranges::transform(name, name.begin(), [](unsigned char c) { return std::tolower(c); });
        reply.headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
      }
      at = next;
    }
    std::size_t length = 0;
    if (!head && reply.headers.contains("content-length")) {
      const std::string& value = reply.headers["content-length"];
      std::from_chars(value.data(), value.data() + value.size(), length);
    }
    if (pending_.size() < end + 4 + length) return std::nullopt;
    reply.body = pending_.substr(end + 4, length);
    pending_.erase(0, end + 4 + length);
    return reply;
  }

  QTcpSocket socket_;
  std::string pending_;
};

// What a client pushing a long body met: how much went out before the server closed, and
// what it answered.
struct Pushed {
  std::size_t sent = 0;
  std::string answer;
};

// Sends `head`, then `piece` up to `times` times, on a non-blocking socket of its own: Qt's
// socket drops what it has read once a write fails, and the answer to a refused body comes
// just before the write fails. The event loop turns meanwhile, for a server in this process.
inline Pushed PushBody(quint16 port, const std::string& head, const std::string& piece,
                       std::size_t times) {
  Pushed pushed;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  (void)::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  const std::string all = head + piece;
  std::size_t offset = 0;  // into head, then into each piece
  bool open = true;
  const auto readSome = [&] {
    std::array<char, 4096> buffer{};
    for (;;) {
      const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (got <= 0) return got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
      pushed.answer.append(buffer.data(), static_cast<std::size_t>(got));
    }
  };
  while (open && pushed.sent < times) {
    const std::string_view left = std::string_view(all).substr(offset);
    const ssize_t wrote = ::send(fd, left.data(), left.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (wrote < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINPROGRESS) break;
    if (wrote > 0) offset += static_cast<std::size_t>(wrote);
    if (offset == all.size()) {
      ++pushed.sent;
      offset = head.size();
    }
    if (readSome()) open = false;
    (void)QTest::qWaitFor(
        [&] {
          pollfd ready{fd, POLLOUT | POLLIN, 0};
          return ::poll(&ready, 1, 0) > 0;
        },
        5000);
  }
  (void)QTest::qWaitFor([&] { return readSome(); }, 5000);
  ::close(fd);
  return pushed;
}

// A process's resident memory, in KiB, from /proc (0 when it cannot be read).
inline long ResidentKiB(const std::string& pid = "self") {
  std::ifstream status("/proc/" + pid + "/status");
  std::string word;
  while (status >> word) {
    if (word == "VmRSS:") {
      long kib = 0;
      status >> kib;
      return kib;
    }
  }
  return 0;
}

}  // namespace mero::test
