#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "link/port/timer.h"
#include "serve/http_server.h"
#include "serve/log.h"

namespace mero::serve {

// The web page's event streams: every open page hears each change once, from what the
// service's polls and exchanges learnt, so that a hundred pages cost the line what one does.
// Reading needs no credential, so the streams are bounded as ssh bounds its unauthenticated
// clients: a newcomer beyond the bound closes the oldest stream of the address that holds the
// most, and is never itself turned away; a reader that does not take what is sent is cut off.
class EventStreams {
 public:
  struct Limits {
    std::size_t streams = 128;
    std::size_t perAddress = 32;
    std::size_t unsentBytes = std::size_t{256} * 1024;
    int keepaliveMs = 15000;  // a comment, so that a proxy or a dead peer is found out
  };

  EventStreams(link::Timer& keepalive, Limits limits, Log log);
  ~EventStreams();
  EventStreams(const EventStreams&) = delete;
  EventStreams& operator=(const EventStreams&) = delete;

  // A new stream for `peer`, which first hears `opening`.
  std::shared_ptr<http::Outlet> open(const std::string& peer, std::string_view opening);
  // One event to every stream.
  void publish(std::string_view event, std::string_view data);
  std::size_t count() const { return streams_.size(); }
  // Streams closed at a bound: crowded out, or cut off for not reading.
  std::uint64_t closed() const { return closed_; }

  // "event: NAME\ndata: DATA\n\n"; DATA holds no line feed.
  static std::string EventText(std::string_view event, std::string_view data);

 private:
  struct Stream {
    std::shared_ptr<http::Outlet> outlet;
    std::string peer;
    std::uint64_t order;
  };
  void makeRoom(const std::string& peer);
  void close(std::size_t index, const std::string& why);
  void forget(const http::Outlet* outlet);

  link::Timer& keepalive_;
  Limits limits_;
  Log log_;
  std::vector<Stream> streams_;
  std::uint64_t opened_ = 0;
  std::uint64_t closed_ = 0;
  bool told_ = false;  // a closing at a bound was logged: the next are counted only, until
                       // the keepalive's next turn
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace mero::serve
