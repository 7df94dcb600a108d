#include "serve/event_streams.h"

#include <algorithm>
#include <map>
#include <utility>

namespace mero::serve {

EventStreams::EventStreams(link::Timer& keepalive, Limits limits, Log log)
    : keepalive_(keepalive), limits_(limits), log_(std::move(log)) {
  keepalive_.setInterval(limits_.keepaliveMs);
  keepalive_.onTick = [this] {
    told_ = false;
    for (std::size_t i = streams_.size(); i-- > 0;) {
      if (!streams_[i].outlet->send(": keepalive\n\n")) close(i, "it did not read what was sent");
    }
  };
  keepalive_.setEnabled(true);
}

EventStreams::~EventStreams() {
  for (Stream& stream : streams_) {
    stream.outlet->onGone = nullptr;
    stream.outlet->end();
  }
}

std::string EventStreams::EventText(std::string_view event, std::string_view data) {
  std::string text = "event: ";
  text += event;
  text += "\ndata: ";
  text += data;
  text += "\n\n";
  return text;
}

std::shared_ptr<http::Outlet> EventStreams::open(const std::string& peer,
                                                 std::string_view opening) {
  makeRoom(peer);
  auto outlet = std::make_shared<http::Outlet>(limits_.unsentBytes);
  outlet->send(opening);
  outlet->onGone = [this, alive = std::weak_ptr<bool>(alive_), raw = outlet.get()] {
    if (alive.lock()) forget(raw);
  };
  streams_.push_back({outlet, peer, ++opened_});
  return outlet;
}

void EventStreams::makeRoom(const std::string& peer) {
  const auto ofPeer = [this](const std::string& address) {
    return static_cast<std::size_t>(std::ranges::count(streams_, address, &Stream::peer));
  };
  if (ofPeer(peer) >= limits_.perAddress) {
    // Its own oldest makes way: an address cannot hold more, nor be kept out.
    const auto oldest = std::ranges::find(streams_, peer, &Stream::peer);
    close(static_cast<std::size_t>(oldest - streams_.begin()),
          std::string("its address opened more than ").append(std::to_string(limits_.perAddress)));
    return;
  }
  if (streams_.size() < limits_.streams) return;
  std::map<std::string, std::size_t> held;
  for (const Stream& stream : streams_) ++held[stream.peer];
  const auto busiest = std::ranges::max_element(
      held, [](const auto& a, const auto& b) { return a.second < b.second; });
  const auto oldest = std::ranges::find(streams_, busiest->first, &Stream::peer);
  close(static_cast<std::size_t>(oldest - streams_.begin()),
        std::string("more than ").append(std::to_string(limits_.streams)).append(" were open"));
}

void EventStreams::publish(std::string_view event, std::string_view data) {
  const std::string text = EventText(event, data);
  for (std::size_t i = streams_.size(); i-- > 0;) {
    if (!streams_[i].outlet->send(text)) close(i, "it did not read what was sent");
  }
}

void EventStreams::close(std::size_t index, const std::string& why) {
  Stream stream = std::move(streams_[index]);
  streams_.erase(streams_.begin() + static_cast<std::ptrdiff_t>(index));
  stream.outlet->onGone = nullptr;
  stream.outlet->end();
  ++closed_;
  if (std::exchange(told_, true)) return;
  log_(Priority::Warning, "web: an event stream of " + stream.peer + " closed: " + why +
                              "; more are counted, not logged, for a while");
}

void EventStreams::forget(const http::Outlet* outlet) {
  std::erase_if(streams_, [outlet](const Stream& s) { return s.outlet.get() == outlet; });
}

}  // namespace mero::serve
