#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "link/port/exchange_engine.h"
#include "serve/event_streams.h"
#include "serve/http_server.h"
#include "serve/key_repeat.h"
#include "serve/log.h"
#include "serve/metrics.h"

namespace mero::serve {

// What the web page and the API reach of one projector.
class WebProjector {
 public:
  virtual ~WebProjector() = default;
  virtual const ProjectorFigures& figures() const = 0;
  virtual link::Exchanges& exchanges() = 0;
  virtual KeyRepeat& keys() = 0;
  // After a command that changes the projector, so that what is shown follows it.
  virtual void askStatus() = 0;
};

// A file of the page, served as it stands.
struct WebFile {
  std::string path;
  std::string contentType;
  std::string body;
};

inline constexpr std::size_t kLongestWriteBody = 1024;
// Commands of one address waiting for the projector: past them, more are refused at once, so
// that one client's flood leaves the line to the others.
inline constexpr int kWaitingWritesPerAddress = 4;

// The page, its event stream and the JSON API on the service's HTTP address. Anyone who
// reaches the address may read; a change needs the token, a JSON body, and no Origin but the
// address's own, so that another site open in the same browser cannot press a key.
class WebApi {
 public:
  using Projectors = std::function<std::vector<WebProjector*>()>;

  WebApi(Projectors projectors, EventStreams& streams, Log log);

  // Empty: changes are refused.
  void setToken(std::string token) { token_ = std::move(token); }
  // Adds the page's files and the API to `routes`.
  void addRoutes(http::Routes& routes, const std::vector<WebFile>& files);
  // Tells the event streams of the projectors whose state has changed since last told: all
  // of them, or the one named.
  void refresh();
  void refresh(const std::string& id);
  // Writes refused for a missing or wrong token.
  std::uint64_t unauthorized() const { return unauthorized_; }
  // Commands refused because their address had too many waiting.
  std::uint64_t tooMany() const { return tooMany_; }

 private:
  WebProjector* find(const std::string& id) const;
  std::string listJson() const;
  std::optional<http::Response> refuseWrite(const http::Request& request);
  void command(const http::Request& request, const http::Answer& answer);
  void key(const http::Request& request, const http::Answer& answer);
  http::Response heldKey(const http::Request& request, bool release);
  // Starts an exchange for `peer`, whose end goes to `done`; or answers at once when the
  // address has too many waiting.
  using Done = link::Exchanges::Done;
  void limited(const std::string& peer, const std::function<void(Done)>& start, Done done,
               const http::Answer& answer);

  Projectors projectors_;
  EventStreams& streams_;
  Log log_;
  std::string token_;
  std::map<std::string, std::string, std::less<>> told_;  // each projector's JSON as last told
  std::map<std::string, int, std::less<>> waiting_;       // commands on the line, by address
  std::uint64_t holds_ = 0;
  std::uint64_t unauthorized_ = 0;
  std::uint64_t tooMany_ = 0;
  bool failureTold_ = false;
  bool floodTold_ = false;  // until no command waits any more
};

// The headers every answer of the page and the API carries.
void AddPageHeaders(http::Response& response);

}  // namespace mero::serve
