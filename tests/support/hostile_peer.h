#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <string>
#include <thread>

namespace mero::test {

// How a hostile device server treats each connection it accepts.
enum class Hostility {
  // IAC SB COM-PORT, then non-IAC bytes without end: a sub-negotiation that never closes.
  EndlessSubNegotiation,
  // Never reads; sends option changes without end (DO/DONT BINARY, WILL/WONT SUPPRESS-GO-AHEAD
  // by turns), each of which the client must answer, until its answers have nowhere to go.
  NegotiationStorm,
  // IAC IAC without end: data bytes 255, each escaped, as fast as the client takes them.
  IacFlood,
  // Closes each connection as soon as it is accepted.
  AcceptAndClose,
  // IAC SB COM-PORT SET-BAUD's answer, two bytes of its value, and the end of the connection.
  CloseInSubNegotiation,
};

inline const char* Describe(Hostility how) {
  switch (how) {
    case Hostility::EndlessSubNegotiation:
      return "endless sub-negotiation";
    case Hostility::NegotiationStorm:
      return "negotiation storm, no reader";
    case Hostility::IacFlood:
      return "0xFF flood";
    case Hostility::AcceptAndClose:
      return "accept and close";
    case Hostility::CloseInSubNegotiation:
      return "close inside a sub-negotiation";
  }
  return "?";
}

// A device server on a free loopback port that misbehaves as told, on a thread of its own
// with plain POSIX sockets, so that nothing it does waits on the panel's event loop. One
// connection is served at a time: a newer one replaces the one before, which the client has
// given up by then. The destructor stops the thread and closes every socket.
class HostilePeer {
 public:
  explicit HostilePeer(Hostility how) : how_(how) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener_ < 0 || ::pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
    if (pthread_getcpuclockid(thread_.native_handle(), &clock_) != 0) clock_ = -1;
  }
  ~HostilePeer() {
    stop();
    for (const int fd : {listener_, wake_[0], wake_[1]}) {
      if (fd >= 0) ::close(fd);
    }
  }
  HostilePeer(const HostilePeer&) = delete;
  HostilePeer& operator=(const HostilePeer&) = delete;

  // 0 when the peer could not listen.
  std::uint16_t port() const { return port_; }
  std::string address(const char* scheme) const {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_);
  }
  // Connections accepted so far.
  std::uint64_t connections() const { return connections_; }
  // Bytes the kernel has taken from this peer for its clients so far.
  std::uint64_t bytesSent() const { return sent_; }
  // CPU time of the peer's own thread so far, in seconds; 0 once stopped.
  double cpuSeconds() const {
    timespec at{};
    // The thread's clock lasts as long as the thread, which runs until stop().
    if (!thread_.joinable() || clock_ == -1 || clock_gettime(clock_, &at) != 0) return 0;
    return static_cast<double>(at.tv_sec) + static_cast<double>(at.tv_nsec) / 1e9;
  }

  void stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    const char byte = 0;
    (void)::write(wake_[1], &byte, 1);
    thread_.join();
  }

 private:
  static constexpr std::uint8_t kIac = 255, kSb = 250, kDo = 253, kDont = 254, kWill = 251,
                                kWont = 252;
  static constexpr std::uint8_t kBinary = 0, kSuppressGoAhead = 3, kComPort = 44;
  static constexpr std::uint8_t kSetBaudAnswer = 101;
  // Large enough that each send fills what the kernel will take in one call.
  static constexpr std::size_t kSendBlock = std::size_t{64} * 1024;

  static std::string Of(std::initializer_list<std::uint8_t> values) {
    std::string out;
    for (const std::uint8_t v : values) out += static_cast<char>(v);
    return out;
  }

  // What each connection opens with.
  std::string Opening() const {
    switch (how_) {
      case Hostility::EndlessSubNegotiation:
        return Of({kIac, kSb, kComPort});
      case Hostility::CloseInSubNegotiation:
        return Of({kIac, kSb, kComPort, kSetBaudAnswer, 0, 0});
      default:
        return {};
    }
  }
  // What follows the opening for as long as the connection lasts; nothing: the connection is
  // closed after the opening.
  std::string Pattern() const {
    switch (how_) {
      case Hostility::EndlessSubNegotiation: {
        std::string every;
        for (int v = 0; v < kIac; ++v) every += static_cast<char>(v);
        return every;
      }
      case Hostility::NegotiationStorm:
        return Of({kIac, kDo, kBinary, kIac, kDont, kBinary, kIac, kWill, kSuppressGoAhead, kIac,
                   kWont, kSuppressGoAhead});
      case Hostility::IacFlood:
        return Of({kIac, kIac});
      default:
        return {};
    }
  }

  // The pattern repeated into one block: a send that takes only some of it leaves the stream at an
  // offset into the pattern, from which the next send goes on.
  std::string Block() const {
    const std::string pattern = Pattern();
    std::string block;
    if (pattern.empty()) return block;
    while (block.size() + pattern.size() <= kSendBlock) block += pattern;
    return block;
  }

  void Run() {
    opening_ = Opening();
    block_ = Block();
    period_ = block_.empty() ? 1 : Pattern().size();
    while (!stopping_) {
      pollfd fds[3] = {{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}, {-1, 0, 0}};
      if (client_ >= 0) fds[2] = {client_, Wanted(), 0};
      if (::poll(fds, 3, -1) < 0) continue;
      if (fds[0].revents != 0) break;
      if ((fds[1].revents & POLLIN) != 0) {
        Accept();
      } else if (client_ >= 0) {
        Serve(fds[2].revents);
      }
    }
    Drop();
  }

  // What to wait for on the client: its bytes, to drop them, unless this peer never reads;
  // room to send, if it sends without end.
  short Wanted() const {
    const bool reads = how_ != Hostility::NegotiationStorm;
    return static_cast<short>((reads ? POLLIN : 0) | (block_.empty() ? 0 : POLLOUT));
  }

  void Accept() {
    const int accepted = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (accepted < 0) return;
    ++connections_;
    Drop();
    client_ = accepted;
    offset_ = 0;
    if (!opening_.empty()) SendOpening();
    if (block_.empty()) Drop();
  }

  void Serve(short revents) {
    if ((revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      Drop();
      return;
    }
    if ((revents & POLLIN) != 0) {
      char sink[4096];
      if (::recv(client_, sink, sizeof sink, 0) <= 0) {
        Drop();
        return;
      }
    }
    if ((revents & POLLOUT) == 0) return;
    const ssize_t n =
        ::send(client_, block_.data() + offset_, block_.size() - offset_, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno != EAGAIN && errno != EINTR) Drop();
      return;
    }
    sent_ += static_cast<std::uint64_t>(n);
    offset_ = (offset_ + static_cast<std::size_t>(n)) % period_;
  }

  void Drop() {
    if (client_ >= 0) ::close(client_);
    client_ = -1;
  }

  // The opening is a few bytes on a new connection: the kernel takes it whole.
  void SendOpening() {
    const ssize_t n = ::send(client_, opening_.data(), opening_.size(), MSG_NOSIGNAL);
    if (n > 0) sent_ += static_cast<std::uint64_t>(n);
  }

  Hostility how_;
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> connections_{0};
  std::atomic<std::uint64_t> sent_{0};
  // The serving thread's own.
  std::string opening_;
  std::string block_;
  std::size_t period_ = 1;
  int client_ = -1;
  std::size_t offset_ = 0;  // into the block, always within its first period

  std::thread thread_;
  clockid_t clock_ = -1;
};

}  // namespace mero::test
