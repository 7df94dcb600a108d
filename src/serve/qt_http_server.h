#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "serve/http_server.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace mero::serve {

// An HTTP server on the Qt event loop: libmicrohttpd without a thread of its own, its epoll
// descriptor watched by a notifier and its next timeout kept by a timer, so that handlers run
// on the Qt thread. It accepts connections itself, to stop accepting, rather than spin, when
// the process has no descriptor left.
class QtHttpServer : public QObject {
  Q_OBJECT
 public:
  struct Limits {
    std::size_t headerBytes = std::size_t{16} * 1024;  // request line, headers and the read buffer
    unsigned idleSeconds = 30;                         // silence, or a request not finished
    unsigned connections = 64;
    unsigned perAddress = 8;
  };

  // `name` starts its messages in `log`; `counted` hears of every refusal.
  QtHttpServer(std::string name, http::Routes routes, Limits limits, Log log,
               std::function<void(http::Refusal)> counted);
  ~QtHttpServer() override;
  QtHttpServer(const QtHttpServer&) = delete;
  QtHttpServer& operator=(const QtHttpServer&) = delete;

  // False, with the reason in `error`, when the address cannot be listened on.
  bool listen(const std::string& host, std::uint16_t port, std::string* error);
  std::uint16_t port() const { return port_; }

  struct Exchange;

 private:
  void acceptWaiting();
  void run();
  void closed();

  friend struct Callbacks;

  std::string name_;
  http::Routes routes_;
  Limits limits_;
  http::RefusalLog refusals_;
  MHD_Daemon* daemon_ = nullptr;
  int listening_ = -1;
  std::uint16_t port_ = 0;
  std::unique_ptr<QSocketNotifier> accepting_;
  std::unique_ptr<QSocketNotifier> events_;
  QTimer due_;
  QTimer retryAccept_;
  std::set<Exchange*> suspended_;
  bool stopping_ = false;
};

}  // namespace mero::serve
