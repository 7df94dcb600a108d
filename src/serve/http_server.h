#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "serve/log.h"

// The plain side of the service's HTTP server: what a handler is given and answers, which
// route a request reaches, and how refusals are counted and told. The server itself is
// serve/qt_http_server.h.
namespace mero::serve::http {

using Fields = std::vector<std::pair<std::string, std::string>>;

struct Request {
  std::string method;
  std::string path;  // without the query
  Fields headers;    // names as the client spelt them
  std::string body;
  std::string peer;                 // the client's address, for messages
  std::vector<std::string> params;  // what the route's {} segments matched, in order

  // The first header of that name, in any case; "" when there is none.
  std::string header(std::string_view name) const;
};

// A body written while its connection stays open, as an event stream is. What waits unsent
// is bounded: a reader that does not keep up is cut off rather than let it grow.
class Outlet {
 public:
  explicit Outlet(std::size_t bound) : bound_(bound) {}

  // False, with the outlet ended, when the text would take the unsent bytes over the bound.
  bool send(std::string_view text);
  // Ends the body once what waits has gone.
  void end();
  // Neither ended nor left by its reader.
  bool open() const { return !ended_ && !gone_; }
  std::size_t waiting() const { return waiting_.size(); }

  // Told once, when the reader has gone or the server stops.
  std::function<void()> onGone;

  // The server's side: it takes the text, is woken when text waits or the outlet ends, and
  // tells when the connection has ended.
  std::size_t take(char* into, std::size_t room);
  bool ended() const { return ended_; }
  void wakeWith(std::function<void()> wake) { wake_ = std::move(wake); }
  void gone();

 private:
  std::size_t bound_;
  std::string waiting_;
  bool ended_ = false;
  bool gone_ = false;
  std::function<void()> wake_;
};

struct Response {
  int status = 200;
  std::string contentType = "text/plain; charset=utf-8";
  std::string body;
  Fields headers;
  std::shared_ptr<Outlet> outlet;  // set: the body is the outlet's, sent as it comes
};

// Answers the request it was given to, once: within the handler or later, from the event
// loop (the connection waits suspended meanwhile, with no idle limit, so a handler that
// keeps an Answer owes it an end). Called after the client has gone, it does nothing.
using Answer = std::function<void(Response)>;
using Handler = std::function<void(const Request&, const Answer&)>;

// A handler that answers at once.
Handler Now(std::function<Response(const Request&)> answer);

struct Route {
  std::vector<std::string> methods;  // HEAD is taken wherever GET is
  std::size_t maxBody = 0;           // a route that takes no body never reads one
  Handler handler;
};

// What the server does with a request whose headers are in: hand it to the route, or give
// the status (and Allow header) it is refused with before any of its body is read.
struct Admission {
  const Route* route = nullptr;
  int status = 0;
  std::string allow;
  std::vector<std::string> params;
};

class Routes {
 public:
  // A segment written "{}" matches any one segment that is not empty; a path matched as it
  // stands goes before one matched by such segments.
  void add(std::string path, Route route);
  // `declaredBody` is the Content-Length, when the request gave one; a `chunked` body has
  // none to tell.
  Admission admit(std::string_view method, std::string_view path,
                  std::optional<std::uint64_t> declaredBody, bool chunked) const;

  // How a request refused before its handler is answered (404, 405, 413): plain text unless
  // the routes say otherwise.
  std::function<Response(int status)> refusal;

 private:
  std::map<std::string, Route, std::less<>> routes_;
  std::vector<std::pair<std::string, Route>> patterns_;
};

// The bounds a client can meet, in the order of kRefusalKinds.
enum class Refusal {
  HeaderTooLarge,  // request line or headers over the memory bound: 414 or 431, closed
  BodyTooLarge,    // a body over its route's bound: 413, closed
  Malformed,       // a request the HTTP layer answered with another error
  Idle,            // silent, or a request not finished, for the idle time
  Crowded,         // over the connections allowed in all or from one address
  NoDescriptor,    // the process has no descriptor left for a new connection
};
inline constexpr std::size_t kRefusalKinds = 6;

// Counts every refusal and logs the first of each episode, so that a flood of bad requests
// costs one line: an episode of a request's bound ends when a request is answered, one of a
// connection's bound when a connection is taken.
class RefusalLog {
 public:
  RefusalLog(std::string name, Log log, std::function<void(Refusal)> counted);

  void refused(Refusal kind, const std::string& detail);
  void answered();
  void accepted();

 private:
  void end(bool byAnswer);

  std::string name_;
  Log log_;
  std::function<void(Refusal)> counted_;
  std::array<bool, kRefusalKinds> open_{};
};

}  // namespace mero::serve::http
