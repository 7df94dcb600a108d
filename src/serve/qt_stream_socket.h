#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <string>

#include "link/port/timer.h"
#include "serve/pjlink_client.h"

namespace mero::serve {

// A connected TCP socket on the event loop that owns its descriptor, so that the end of the
// client's input is only news, not a close: what is still to be answered is answered. Never
// blocks: what the peer does not take waits here. A close after the last answer shuts the
// sending side and reads until the peer closes too, so that lines the client sent after the
// last one taken cannot turn the close into a reset that loses that answer.
class QtStreamSocket : public QObject, public ClientStream {
  Q_OBJECT
 public:
  explicit QtStreamSocket(int fd);  // connected and non-blocking; it is the socket's now
  ~QtStreamSocket() override;       // closes without telling onGone
  QtStreamSocket(const QtStreamSocket&) = delete;
  QtStreamSocket& operator=(const QtStreamSocket&) = delete;

  std::string read(std::size_t most) override;
  bool ended() const override { return ended_; }
  void setReading(bool reading) override;
  void write(std::string_view bytes) override;
  std::int64_t unsent() const override { return static_cast<std::int64_t>(out_.size()); }
  void closeWhenSent() override;
  void abort() override { finish(); }

  // The peer's address as text, an IPv4 address mapped into IPv6 as IPv4.
  static std::string PeerAddress(int fd);

 private:
  void readable();
  void flush();
  void finish();

  int fd_;
  QSocketNotifier reader_;
  QSocketNotifier writer_;
  std::string out_;
  bool ended_ = false;
  bool closing_ = false;
  bool shut_ = false;
};

// A listening TCP socket that accepts only while asked to: out of descriptors, a listener
// that kept trying would wake the loop for the same waiting connection again and again.
class QtListener : public QObject {
  Q_OBJECT
 public:
  QtListener() = default;
  ~QtListener() override;
  QtListener(const QtListener&) = delete;
  QtListener& operator=(const QtListener&) = delete;

  // A numeric IPv4 or IPv6 address. False with the system's reason when it cannot be had.
  bool listen(const std::string& host, std::uint16_t port, std::string* error);
  std::uint16_t port() const { return port_; }
  void setAccepting(bool accepting);

  std::function<void(int fd)> onConnection;       // connected, non-blocking, to be owned
  std::function<void(int error)> onAcceptFailed;  // errno of an accept that will fail again

 private:
  void ready();

  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::unique_ptr<QSocketNotifier> notifier_;
};

// A link::Timer on a QTimer, without a descriptor of its own: a client's deadline must not
// cost the descriptors its socket needs.
class QtLoopTimer : public link::Timer {
 public:
  QtLoopTimer() {
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      if (onTick) onTick();
    });
  }
  void setInterval(int ms) override { timer_.setInterval(ms); }
  int interval() const override { return timer_.interval(); }
  void setEnabled(bool enabled) override {
    if (enabled) {
      timer_.start();
    } else {
      timer_.stop();
    }
  }
  bool isEnabled() const override { return timer_.isActive(); }

 private:
  QTimer timer_;
};

}  // namespace mero::serve
