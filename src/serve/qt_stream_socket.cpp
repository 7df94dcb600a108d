#include "serve/qt_stream_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>

namespace mero::serve {
namespace {

// Connections taken per wake-up, so that a burst of newcomers does not hold up the clients.
constexpr int kAcceptsAtOnce = 16;
// What a closing socket reads and drops at a time.
constexpr std::size_t kDrained = 512;

std::string SystemMessage(int error) {
  return std::error_code(error, std::system_category()).message();
}

}  // namespace

QtStreamSocket::QtStreamSocket(int fd)
    : fd_(fd), reader_(fd, QSocketNotifier::Read), writer_(fd, QSocketNotifier::Write) {
  writer_.setEnabled(false);
  connect(&reader_, &QSocketNotifier::activated, this, &QtStreamSocket::readable);
  connect(&writer_, &QSocketNotifier::activated, this, &QtStreamSocket::flush);
}

QtStreamSocket::~QtStreamSocket() {
  reader_.setEnabled(false);
  writer_.setEnabled(false);
  if (fd_ >= 0) ::close(fd_);
}

std::string QtStreamSocket::PeerAddress(int fd) {
  sockaddr_storage peer{};
  socklen_t size = sizeof peer;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0) return "unknown";
  std::array<char, INET6_ADDRSTRLEN> text{};
  if (peer.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&peer);
    ::inet_ntop(AF_INET, &v4->sin_addr, text.data(), text.size());
  } else if (peer.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&peer);
    if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
      ::inet_ntop(AF_INET, &v6->sin6_addr.s6_addr[12], text.data(), text.size());
    } else {
      ::inet_ntop(AF_INET6, &v6->sin6_addr, text.data(), text.size());
    }
  }
  return text.data();
}

void QtStreamSocket::readable() {
  if (!closing_) {
    if (onReadable) onReadable();
    return;
  }
  // Closing: what still comes is dropped until the peer closes its side.
  std::array<char, kDrained> scratch{};
  for (;;) {
    const ssize_t got = ::recv(fd_, scratch.data(), scratch.size(), 0);
    if (got > 0) continue;
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    finish();
    return;
  }
}

std::string QtStreamSocket::read(std::size_t most) {
  if (fd_ < 0 || ended_ || closing_) return {};
  std::string bytes(most, '\0');
  for (;;) {
    const ssize_t got = ::recv(fd_, bytes.data(), bytes.size(), 0);
    if (got > 0) {
      bytes.resize(static_cast<std::size_t>(got));
      return bytes;
    }
    if (got == 0) {
      ended_ = true;
      reader_.setEnabled(false);
      return {};
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) finish();
    return {};
  }
}

void QtStreamSocket::setReading(bool reading) {
  if (fd_ >= 0 && !ended_ && !closing_) reader_.setEnabled(reading);
}

void QtStreamSocket::write(std::string_view bytes) {
  if (fd_ < 0 || closing_) return;
  out_ += bytes;
  flush();
}

void QtStreamSocket::closeWhenSent() {
  if (fd_ < 0 || closing_) return;
  closing_ = true;
  flush();
}

void QtStreamSocket::flush() {
  if (fd_ < 0) return;
  while (!out_.empty()) {
    const ssize_t sent = ::send(fd_, out_.data(), out_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      out_.erase(0, static_cast<std::size_t>(sent));
    } else if (sent < 0 && errno == EINTR) {
      continue;
    } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;
    } else {
      finish();  // the peer is gone: nothing written will reach it
      return;
    }
  }
  writer_.setEnabled(!out_.empty());
  if (!out_.empty() || !closing_ || shut_) return;
  shut_ = true;
  if (ended_ || ::shutdown(fd_, SHUT_WR) != 0) {
    finish();
    return;
  }
  reader_.setEnabled(true);
}

void QtStreamSocket::finish() {
  if (fd_ < 0) return;
  reader_.setEnabled(false);
  writer_.setEnabled(false);
  ::close(fd_);
  fd_ = -1;
  out_.clear();
  if (onGone) onGone();
}

QtListener::~QtListener() {
  notifier_.reset();
  if (fd_ >= 0) ::close(fd_);
}

bool QtListener::listen(const std::string& host, std::uint16_t port, std::string* error) {
  sockaddr_storage address{};
  socklen_t size = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
  if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    size = sizeof *v4;
  } else if (::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    size = sizeof *v6;
  } else {
    if (error != nullptr) *error = "not a numeric address: " + host;
    return false;
  }
  const auto fail = [&] {
    if (error != nullptr) *error = SystemMessage(errno);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    return false;
  };
  fd_ = ::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return fail();
  const int on = 1;
  ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (address.ss_family == AF_INET6) ::setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0) return fail();
  if (::listen(fd_, SOMAXCONN) != 0) return fail();
  size = sizeof address;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
  port_ = ntohs(address.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
  notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, &QtListener::ready);
  return true;
}

void QtListener::setAccepting(bool accepting) {
  if (notifier_) notifier_->setEnabled(accepting);
}

void QtListener::ready() {
  for (int i = 0; i < kAcceptsAtOnce; ++i) {
    const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      if (onConnection) {
        onConnection(fd);
      } else {
        ::close(fd);
      }
      continue;
    }
    const int error = errno;
    switch (error) {
      case EAGAIN:
#if EAGAIN != EWOULDBLOCK
      case EWOULDBLOCK:
#endif
        return;
      case EMFILE:
      case ENFILE:
      case ENOBUFS:
      case ENOMEM:
        if (onAcceptFailed) onAcceptFailed(error);
        return;
      default:
        continue;  // that connection failed, not the listener (ECONNABORTED, EINTR, ...)
    }
  }
}

}  // namespace mero::serve
