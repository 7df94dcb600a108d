#include "serve/qt_http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstring>

namespace mero::serve {
namespace {

using Clock = std::chrono::steady_clock;

// Connections taken at one wake, so that a flood of them cannot hold the loop.
constexpr int kAcceptsAtOnce = 16;
// Without a connection of ours whose end would free a descriptor, accepting is tried again
// after this long.
constexpr int kRetryAcceptMs = 1000;
constexpr int kBacklog = 64;

std::string Shown(const sockaddr* address) {
  std::array<char, INET6_ADDRSTRLEN> text{};
  if (address == nullptr) return "?";
  if (address->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    inet_ntop(AF_INET, &v4->sin_addr, text.data(), text.size());
  } else if (address->sa_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    inet_ntop(AF_INET6, &v6->sin6_addr, text.data(), text.size());
  }
  return text.data();
}

bool Waiting(int listening) {
  pollfd waiting{listening, POLLIN, 0};
  return ::poll(&waiting, 1, 0) > 0;
}

// What the HTTP layer answered on its own, from its message "... (HTTP response code is 431
// ('...'))": 0 for its other messages.
int StatusIn(std::string_view message) {
  constexpr std::string_view kMark = "HTTP response code is ";
  const auto at = message.find(kMark);
  if (at == std::string_view::npos) return 0;
  int status = 0;
  const char* from = message.data() + at + kMark.size();
  std::from_chars(from, message.data() + message.size(), status);
  return status;
}

http::Refusal RefusalFor(int status) {
  if (status == MHD_HTTP_URI_TOO_LONG || status == MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE)
    return http::Refusal::HeaderTooLarge;
  if (status == MHD_HTTP_CONTENT_TOO_LARGE) return http::Refusal::BodyTooLarge;
  return http::Refusal::Malformed;
}

// What MHD keeps for each connection, to tell a connection closed for idleness from one its
// client closed.
struct Link {
  Clock::time_point lastKnown = Clock::now();
  bool requestOpen = false;
  bool counted = false;
};

}  // namespace

// One request, from its request line to its end.
struct QtHttpServer::Exchange {
  QtHttpServer* server = nullptr;
  MHD_Connection* connection = nullptr;
  http::Request request;
  const http::Route* route = nullptr;
  bool admitted = false;
  bool dispatched = false;
  bool suspended = false;
  std::optional<http::Response> ready;
  std::shared_ptr<http::Outlet> outlet;  // a body still being written
  // An Answer holds it weakly: once the exchange is gone, answering does nothing.
  std::shared_ptr<Exchange*> token = std::make_shared<Exchange*>(this);
};

// libmicrohttpd's callbacks, each given the server.
struct Callbacks {
  // What a streamed body's reader is given: the outlet, and the exchange it belongs to.
  struct Stream {
    std::shared_ptr<http::Outlet> outlet;
    std::weak_ptr<QtHttpServer::Exchange*> exchange;
  };

  static void Suspend(QtHttpServer::Exchange& exchange) {
    exchange.suspended = true;
    exchange.server->suspended_.insert(&exchange);
    MHD_suspend_connection(exchange.connection);
  }

  static void Resume(QtHttpServer::Exchange& exchange) {
    if (!exchange.suspended) return;
    exchange.suspended = false;
    exchange.server->suspended_.erase(&exchange);
    MHD_resume_connection(exchange.connection);
    exchange.server->due_.start(0);
  }

  // Called when the socket takes more; with nothing waiting the connection is put aside
  // until the outlet has more, rather than asked again at every turn.
  static ssize_t Read(void* self, std::uint64_t /*at*/, char* into, std::size_t room) {
    auto* stream = static_cast<Stream*>(self);
    const auto alive = stream->exchange.lock();
    if (!alive || (*alive)->server->stopping_) return MHD_CONTENT_READER_END_WITH_ERROR;
    const std::size_t taken = stream->outlet->take(into, room);
    if (taken > 0) return static_cast<ssize_t>(taken);
    if (stream->outlet->ended()) return MHD_CONTENT_READER_END_OF_STREAM;
    Suspend(**alive);
    return 0;
  }

  static MHD_Response* Body(QtHttpServer::Exchange& exchange, const http::Response& answer) {
    if (!answer.outlet) {
      return MHD_create_response_from_buffer(
          answer.body.size(), const_cast<char*>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
    }
    exchange.outlet = answer.outlet;
    const std::weak_ptr<QtHttpServer::Exchange*> token = exchange.token;
    answer.outlet->wakeWith([token] {
      if (const auto alive = token.lock()) Resume(**alive);
    });
    auto* stream = new Stream{answer.outlet, token};
    constexpr std::size_t kBlock = 4096;
    return MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kBlock, &Read, stream,
                                             [](void* self) { delete static_cast<Stream*>(self); });
  }

  static MHD_Result Queue(QtHttpServer::Exchange& exchange, const http::Response& answer,
                          bool close) {
    MHD_Response* response = Body(exchange, answer);
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.contentType.c_str());
    for (const auto& [name, value] : answer.headers)
      MHD_add_response_header(response, name.c_str(), value.c_str());
    if (close) MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    const MHD_Result queued =
        MHD_queue_response(exchange.connection, static_cast<unsigned>(answer.status), response);
    MHD_destroy_response(response);
    if (answer.status < 400) exchange.server->refusals_.answered();
    return queued;
  }

  static MHD_Result Refuse(QtHttpServer::Exchange& exchange, int status, const std::string& allow) {
    const http::Routes& routes = exchange.server->routes_;
    http::Response answer{status, "text/plain; charset=utf-8", {}, {}, {}};
    if (routes.refusal) {
      answer = routes.refusal(status);
    } else {
      answer.body = std::to_string(status) + " " + MHD_get_reason_phrase_for(status) + "\n";
    }
    if (!allow.empty()) answer.headers.emplace_back("Allow", allow);
    if (status == MHD_HTTP_CONTENT_TOO_LARGE) {
      exchange.server->refusals_.refused(http::Refusal::BodyTooLarge, exchange.request.peer);
    }
    // A body, if any, is never read, so the connection cannot go on to a next request.
    // Without one, the answer waits for the request's end, which keeps the connection.
    const bool bodyFollows = !exchange.request.header("Content-Length").empty() ||
                             !exchange.request.header("Transfer-Encoding").empty();
    if (!bodyFollows && status != MHD_HTTP_CONTENT_TOO_LARGE) {
      exchange.ready = std::move(answer);
      return MHD_YES;
    }
    return Queue(exchange, answer, true);
  }

  static MHD_Result Admit(QtHttpServer::Exchange& exchange, const char* url, const char* method) {
    http::Request& request = exchange.request;
    request.method = method;
    request.path = url;
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(exchange.connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    request.peer = Shown(info != nullptr ? info->client_addr : nullptr);
    MHD_get_connection_values(
        exchange.connection, MHD_HEADER_KIND,
        [](void* fields, MHD_ValueKind, const char* name, const char* value) {
          static_cast<http::Fields*>(fields)->emplace_back(name, value != nullptr ? value : "");
          return MHD_YES;
        },
        &request.headers);
    std::optional<std::uint64_t> declared;
    const std::string length = request.header("Content-Length");
    if (!length.empty()) {
      std::uint64_t value = 0;
      std::from_chars(length.data(), length.data() + length.size(), value);
      declared = value;
    }
    http::Admission admission = exchange.server->routes_.admit(
        method, url, declared, !request.header("Transfer-Encoding").empty());
    if (admission.route == nullptr) return Refuse(exchange, admission.status, admission.allow);
    exchange.route = admission.route;
    request.params = std::move(admission.params);
    return MHD_YES;
  }

  static MHD_Result Access(void* self, MHD_Connection* connection, const char* url,
                           const char* method, const char* /*version*/, const char* upload,
                           std::size_t* uploadSize, void** state) {
    auto* server = static_cast<QtHttpServer*>(self);
    auto* exchange = static_cast<QtHttpServer::Exchange*>(*state);
    if (server->stopping_ || exchange == nullptr) return MHD_NO;
    exchange->connection = connection;
    if (!exchange->admitted) {
      exchange->admitted = true;
      return Admit(*exchange, url, method);
    }
    if (exchange->route == nullptr) {
      if (exchange->ready && *uploadSize == 0) return Queue(*exchange, *exchange->ready, false);
      *uploadSize = 0;  // refused: the answer is queued and the connection closes after it
      return MHD_YES;
    }
    if (*uploadSize > 0) {
      std::string& body = exchange->request.body;
      if (*uploadSize > exchange->route->maxBody - body.size()) {
        exchange->route = nullptr;
        *uploadSize = 0;
        // This version of the library takes no answer amid a body: the answer is written
        // here, to a socket that has nothing else to send, and the connection closed.
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (info != nullptr) {
          constexpr std::string_view kTooLarge =
              "HTTP/1.1 413 Content Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
          (void)::send(info->connect_fd, kTooLarge.data(), kTooLarge.size(),
                       MSG_DONTWAIT | MSG_NOSIGNAL);
        }
        server->refusals_.refused(http::Refusal::BodyTooLarge, exchange->request.peer);
        return MHD_NO;
      }
      body.append(upload, *uploadSize);
      *uploadSize = 0;
      return MHD_YES;
    }
    if (exchange->ready) return Queue(*exchange, *exchange->ready, false);
    if (exchange->dispatched) return MHD_NO;  // resumed without an answer: only when stopping
    exchange->dispatched = true;
    const std::weak_ptr<QtHttpServer::Exchange*> token = exchange->token;
    exchange->route->handler(exchange->request, [token](http::Response response) {
      const auto alive = token.lock();
      if (!alive || (*alive)->ready) return;
      QtHttpServer::Exchange& answered = **alive;
      answered.ready = std::move(response);
      Resume(answered);
    });
    if (exchange->ready) return Queue(*exchange, *exchange->ready, false);
    Suspend(*exchange);
    return MHD_YES;
  }

  static void* Started(void* self, const char* /*uri*/, MHD_Connection* connection) {
    auto* exchange = new QtHttpServer::Exchange;
    exchange->server = static_cast<QtHttpServer*>(self);
    exchange->connection = connection;
    if (auto* link = LinkOf(connection)) {
      link->requestOpen = true;
      link->lastKnown = Clock::now();
    }
    return exchange;
  }

  static void Completed(void* self, MHD_Connection* connection, void** state,
                        MHD_RequestTerminationCode ending) {
    auto* server = static_cast<QtHttpServer*>(self);
    auto* exchange = static_cast<QtHttpServer::Exchange*>(*state);
    Link* link = LinkOf(connection);
    if (ending == MHD_REQUEST_TERMINATED_TIMEOUT_REACHED) {
      server->refusals_.refused(http::Refusal::Idle,
                                exchange != nullptr ? exchange->request.peer : std::string());
      if (link != nullptr) link->counted = true;
    }
    if (link != nullptr) {
      link->requestOpen = false;
      link->lastKnown = Clock::now();
    }
    if (exchange != nullptr) {
      server->suspended_.erase(exchange);
      if (exchange->outlet) exchange->outlet->gone();
    }
    delete exchange;
    *state = nullptr;
  }

  static void Connection(void* self, MHD_Connection* connection, void** context,
                         MHD_ConnectionNotificationCode code) {
    auto* server = static_cast<QtHttpServer*>(self);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      *context = new Link;
      return;
    }
    auto* link = static_cast<Link*>(*context);
    *context = nullptr;
    if (link == nullptr) return;
    const auto idle = std::chrono::seconds(server->limits_.idleSeconds);
    // The HTTP layer closes an idle connection at its time, never before; a client that
    // closes its own does so earlier.
    if (!link->counted && !link->requestOpen && server->limits_.idleSeconds > 0 &&
        Clock::now() - link->lastKnown >= idle - std::chrono::milliseconds(50)) {
      const MHD_ConnectionInfo* info =
          MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
      server->refusals_.refused(http::Refusal::Idle,
                                Shown(info != nullptr ? info->client_addr : nullptr));
    }
    delete link;
    server->closed();
  }

  static void Said(void* self, const char* format, va_list arguments) {
    std::array<char, 512> text{};
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg,clang-analyzer-valist.Uninitialized)
    std::vsnprintf(text.data(), text.size(), format, arguments);
    std::string_view said(text.data());
    while (!said.empty() && said.back() == '\n') said.remove_suffix(1);
    // What it says of the connection limits and of the connections closed here is counted
    // where it happens.
    // A client that leaves amid an answer (a page closed on its event stream) is no fault.
    for (const std::string_view known :
         {"connection limit", "Application reported", "Failed to send",
          "application error generating response"}) {
      if (said.find(known) != std::string_view::npos) return;
    }
    const int status = StatusIn(said);
    // Its other messages concern what it refuses too; they are logged as the malformed are.
    static_cast<QtHttpServer*>(self)->refusals_.refused(
        status != 0 ? RefusalFor(status) : http::Refusal::Malformed,
        status != 0 ? "answered " + std::to_string(status) : std::string(said));
  }

  static Link* LinkOf(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info != nullptr ? static_cast<Link*>(info->socket_context) : nullptr;
  }
};

QtHttpServer::QtHttpServer(std::string name, http::Routes routes, Limits limits, Log log,
                           std::function<void(http::Refusal)> counted)
    : name_(std::move(name)),
      routes_(std::move(routes)),
      limits_(limits),
      refusals_(name_, std::move(log), std::move(counted)) {
  due_.setSingleShot(true);
  connect(&due_, &QTimer::timeout, this, &QtHttpServer::run);
  retryAccept_.setSingleShot(true);
  connect(&retryAccept_, &QTimer::timeout, this, &QtHttpServer::acceptWaiting);
}

QtHttpServer::~QtHttpServer() {
  if (daemon_ != nullptr) {
    // Suspended connections are resumed to be closed: MHD cannot stop with them held.
    stopping_ = true;
    for (Exchange* exchange : suspended_) MHD_resume_connection(exchange->connection);
    suspended_.clear();
    MHD_run(daemon_);
    MHD_stop_daemon(daemon_);
  }
  if (listening_ >= 0) ::close(listening_);
}

bool QtHttpServer::listen(const std::string& host, std::uint16_t port, std::string* error) {
  sockaddr_storage address{};
  socklen_t length = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
  if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    length = sizeof(sockaddr_in);
  } else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    length = sizeof(sockaddr_in6);
  } else {
    *error = "not an address";
    return false;
  }
  listening_ = ::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int on = 1;
  if (listening_ < 0 || ::setsockopt(listening_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
      (address.ss_family == AF_INET6 &&
       ::setsockopt(listening_, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on)) != 0) ||
      ::bind(listening_, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
      ::listen(listening_, kBacklog) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  sockaddr_storage bound{};
  socklen_t boundLength = sizeof(bound);
  ::getsockname(listening_, reinterpret_cast<sockaddr*>(&bound), &boundLength);
  port_ = ntohs(bound.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&bound)->sin_port
                                           : reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);

  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg)
  daemon_ = MHD_start_daemon(
      MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_NO_LISTEN_SOCKET | MHD_USE_ERROR_LOG, 0,
      nullptr, nullptr, &Callbacks::Access, this, MHD_OPTION_EXTERNAL_LOGGER, &Callbacks::Said,
      this, MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits_.headerBytes, MHD_OPTION_CONNECTION_TIMEOUT,
      limits_.idleSeconds, MHD_OPTION_CONNECTION_LIMIT, limits_.connections,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, limits_.perAddress, MHD_OPTION_URI_LOG_CALLBACK,
      &Callbacks::Started, this, MHD_OPTION_NOTIFY_COMPLETED, &Callbacks::Completed, this,
      MHD_OPTION_NOTIFY_CONNECTION, &Callbacks::Connection, this, MHD_OPTION_END);
  const MHD_DaemonInfo* info =
      daemon_ != nullptr ? MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_EPOLL_FD) : nullptr;
  if (info == nullptr) {
    *error = "the HTTP library did not start";
    return false;
  }
  events_ = std::make_unique<QSocketNotifier>(info->epoll_fd, QSocketNotifier::Read);
  connect(events_.get(), &QSocketNotifier::activated, this, &QtHttpServer::run);
  accepting_ = std::make_unique<QSocketNotifier>(listening_, QSocketNotifier::Read);
  connect(accepting_.get(), &QSocketNotifier::activated, this, &QtHttpServer::acceptWaiting);
  return true;
}

void QtHttpServer::acceptWaiting() {
  accepting_->setEnabled(true);
  for (int i = 0; i < kAcceptsAtOnce; ++i) {
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    const int fd = ::accept4(listening_, reinterpret_cast<sockaddr*>(&address), &length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      // The system tells of no descriptor before it looks for a waiting connection.
      if ((errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) &&
          Waiting(listening_)) {
        // The waiting connection stays in the backlog; it is taken when one of ours ends
        // or at the retry, not at every turn of the loop.
        accepting_->setEnabled(false);
        retryAccept_.start(kRetryAcceptMs);
        refusals_.refused(http::Refusal::NoDescriptor, std::strerror(errno));
      }
      break;
    }
    const std::string peer = Shown(reinterpret_cast<const sockaddr*>(&address));
    // It closes the connection itself when over a limit.
    if (MHD_add_connection(daemon_, fd, reinterpret_cast<const sockaddr*>(&address), length) ==
        MHD_YES) {
      refusals_.accepted();
    } else {
      refusals_.refused(http::Refusal::Crowded, peer);
    }
  }
  run();
}

void QtHttpServer::run() {
  MHD_run(daemon_);
  MHD_UNSIGNED_LONG_LONG ms = 0;
  if (MHD_get_timeout(daemon_, &ms) == MHD_YES) {
    due_.start(static_cast<int>(std::min<MHD_UNSIGNED_LONG_LONG>(ms, INT_MAX)));
  } else {
    due_.stop();
  }
}

void QtHttpServer::closed() {
  if (!stopping_ && accepting_ && !accepting_->isEnabled()) {
    retryAccept_.stop();
    // After this turn of the loop, when the descriptor is closed.
    retryAccept_.start(0);
  }
}

}  // namespace mero::serve
