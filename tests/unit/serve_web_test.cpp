// The web page's side of the service: who may change what, how an exchange's end is answered,
// the key held from a browser, and the bounded event streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "panel/bindings.h"
#include "serve/event_streams.h"
#include "serve/keypad.h"
#include "serve/web_api.h"
#include "virtual_clock.h"

namespace mero::serve {
namespace {

using link::ExchangeResult;

constexpr std::string_view kToken = "0123456789abcdefXYZ";

// A line whose exchanges end when the test says, in order; `now` ends them at once.
class HeldExchanges : public link::Exchanges {
 public:
  void exchange(std::string_view code, Done done) override {
    sent.emplace_back(code);
    if (now) return done(*now);
    waiting.push_back(std::move(done));
  }
  void end(const ExchangeResult& result) {
    Done done = std::move(waiting.front());
    waiting.erase(waiting.begin());
    done(result);
  }
  std::optional<ExchangeResult> now;
  std::vector<std::string> sent;
  std::vector<Done> waiting;
};

class Projector : public WebProjector {
 public:
  Projector(test::VirtualClock& clock, std::string id) : period_(clock), beat_(clock) {
    figures_.id = std::move(id);
  }
  const ProjectorFigures& figures() const override { return figures_; }
  link::Exchanges& exchanges() override { return line; }
  KeyRepeat& keys() override { return keys_; }
  void askStatus() override { ++asked; }

  HeldExchanges line;
  int asked = 0;

 private:
  ProjectorFigures figures_;
  test::VirtualClock::Timer period_;
  test::VirtualClock::Timer beat_;
  KeyRepeat keys_{line, period_, beat_, kKeyHeartbeatMs};
};

ExchangeResult Replied(std::string reply) { return {ExchangeResult::Kind::Reply, reply, 5}; }

struct Site {
  test::VirtualClock clock;
  test::VirtualClock::Timer keepalive{clock};
  std::vector<std::string> logged;
  EventStreams streams{
      keepalive, {}, [this](Priority, const std::string& t) { logged.push_back(t); }};
  Projector hall{clock, "hall"};
  WebApi api{[this] { return std::vector<WebProjector*>{&hall}; }, streams,
             [this](Priority, const std::string& t) { logged.push_back(t); }};
  http::Routes routes;

  Site() {
    api.setToken(std::string(kToken));
    api.addRoutes(routes, {});
  }

  // The answer, when the handler gave one by now.
  std::shared_ptr<std::optional<http::Response>> send(const std::string& method,
                                                      const std::string& path, http::Fields headers,
                                                      std::string body) {
    auto answered = std::make_shared<std::optional<http::Response>>();
    http::Admission admission = routes.admit(method, path, body.size(), false);
    if (admission.route == nullptr) {
      *answered = http::Response{admission.status, {}, {}, {}, {}};
      return answered;
    }
    const http::Request request{method,          path,        std::move(headers),
                                std::move(body), "127.0.0.1", std::move(admission.params)};
    admission.route->handler(request, [answered](http::Response r) { *answered = std::move(r); });
    return answered;
  }
  static http::Fields Writer() {
    return {{"Host", "panel:9470"},
            {"Authorization", "Bearer " + std::string(kToken)},
            {"Content-Type", "application/json"}};
  }
  std::shared_ptr<std::optional<http::Response>> post(const std::string& path) {
    return send("POST", path, Writer(), "{}");
  }
};

std::string ErrorWord(const http::Response& response) {
  const auto at = response.body.find("\"error\":\"");
  if (at == std::string::npos) return {};
  const auto from = at + 9;
  return response.body.substr(from, response.body.find('"', from) - from);
}

TEST(ServeWeb, AChangeNeedsTheTokenAJsonBodyAndNoOtherSitesOrigin) {
  struct Case {
    const char* what;
    http::Fields changed;  // over the writer's headers: an empty value drops the header
    std::string body;
    int status;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"all in order", {}, "{}", 200, ""},
      {"the page's own origin", {{"Origin", "http://panel:9470"}}, "{ }", 200, ""},
      {"behind a TLS proxy", {{"Origin", "https://panel:9470"}}, "{}", 200, ""},
      {"no token", {{"Authorization", ""}}, "{}", 401, "unauthorized"},
      {"a wrong token",
       {{"Authorization", "Bearer 0123456789abcdefXYz"}},
       "{}",
       401,
       "unauthorized"},
      {"the token cut short", {{"Authorization", "Bearer 0123456789"}}, "{}", 401, "unauthorized"},
      {"basic, not bearer",
       {{"Authorization", "Basic 0123456789abcdefXYZ"}},
       "{}",
       401,
       "unauthorized"},
      {"another site", {{"Origin", "http://evil.example"}}, "{}", 403, "cross-origin"},
      {"another port", {{"Origin", "http://panel:9471"}}, "{}", 403, "cross-origin"},
      {"an opaque origin", {{"Origin", "null"}}, "{}", 403, "cross-origin"},
      {"a cross-site fetch", {{"Sec-Fetch-Site", "cross-site"}}, "{}", 403, "cross-origin"},
      {"a form's body",
       {{"Content-Type", "application/x-www-form-urlencoded"}},
       "a=1",
       415,
       "not-json"},
      {"text/plain", {{"Content-Type", "text/plain"}}, "{}", 415, "not-json"},
      {"JSON, not an object", {}, "[1]", 400, "bad-body"},
      {"no body", {}, "", 400, "bad-body"},
  };
  for (const Case& c : cases) {
    Site site;
    site.hall.line.now = Replied("\x06\r");
    // The writer's headers, each replaced by the case's of that name (empty: left out), then
    // the case's others.
    const http::Fields writer = Site::Writer();
    const auto named = [](const http::Fields& fields, const std::string& name) {
      return std::ranges::find(fields, name, &http::Fields::value_type::first);
    };
    http::Fields headers;
    for (auto [name, value] : writer) {
      if (const auto over = named(c.changed, name); over != c.changed.end()) value = over->second;
      if (!value.empty()) headers.emplace_back(name, value);
    }
    for (const auto& field : c.changed) {
      if (named(writer, field.first) == writer.end()) headers.push_back(field);
    }
    const auto answer =
        site.send("POST", "/api/v1/projectors/hall/commands/power-off", headers, c.body);
    ASSERT_TRUE(*answer) << c.what;
    EXPECT_EQ((*answer)->status, c.status) << c.what;
    EXPECT_EQ(ErrorWord(**answer), c.error) << c.what;
    EXPECT_EQ(site.hall.line.sent.size(), c.status == 200 ? 1U : 0U) << c.what << ": sent";
  }
  Site closed;
  closed.api.setToken("");
  EXPECT_EQ(ErrorWord(**closed.post("/api/v1/projectors/hall/commands/power-on")),
            "writes-disabled");
  EXPECT_EQ(closed.send("GET", "/api/v1/projectors/hall/commands/power-on", {}, "")->value().status,
            405)
      << "no change on GET";
}

TEST(ServeWeb, ACommandIsAnsweredAsItsExchangeEnded) {
  struct Case {
    ExchangeResult result;
    int status;
    std::string error;
    bool statusAsked;
  };
  const std::vector<Case> cases = {
      {Replied("\x06\r"), 200, "", true},
      {Replied("\x15\r"), 409, "refused", false},
      {{ExchangeResult::Kind::NoReply, {}, 500}, 504, "no-reply", false},
      {{ExchangeResult::Kind::LineDown, {}, 0}, 503, "line-down", false},
      {{ExchangeResult::Kind::Busy, {}, 0}, 503, "busy", false},
      {{ExchangeResult::Kind::Cut, "12345", 9}, 502, "bad-reply", false},
  };
  for (const Case& c : cases) {
    Site site;
    const auto answer = site.post("/api/v1/projectors/hall/commands/input-pc2");
    EXPECT_FALSE(*answer) << "answered when the projector has";
    site.hall.line.end(c.result);
    ASSERT_TRUE(*answer);
    EXPECT_EQ((*answer)->status, c.status);
    EXPECT_EQ(ErrorWord(**answer), c.error);
    EXPECT_EQ(site.hall.asked, c.statusAsked ? 1 : 0) << "the status asked again after a change";
    EXPECT_EQ(site.hall.line.sent, (std::vector<std::string>{"C06"}));
  }
  Site flooded;
  for (int i = 0; i < kWaitingWritesPerAddress; ++i)
    flooded.post("/api/v1/projectors/hall/keys/menu-off");
  EXPECT_EQ(ErrorWord(**flooded.post("/api/v1/projectors/hall/commands/power-on")), "too-many");
  EXPECT_EQ(ErrorWord(**flooded.post("/api/v1/projectors/hall/commands/power-on")), "too-many");
  EXPECT_EQ(flooded.api.tooMany(), 2U);
  EXPECT_EQ(flooded.logged.size(), 1U) << "one line for the flood";
  flooded.hall.line.end(Replied("\x06\r"));
  EXPECT_FALSE(*flooded.post("/api/v1/projectors/hall/commands/power-on")) << "on the line again";
  EXPECT_EQ(flooded.hall.line.sent.size(), 5U);

  Site site;
  site.hall.line.now = Replied("00\r");
  const auto status = site.post("/api/v1/projectors/hall/commands/status");
  EXPECT_NE((*status)->body.find("\"outcome\":\"replied\",\"reply\":\"00\""), std::string::npos);
  EXPECT_EQ(site.hall.asked, 0) << "a query changes nothing";
  EXPECT_EQ(ErrorWord(**site.post("/api/v1/projectors/attic/commands/power-on")),
            "unknown-projector");
  EXPECT_EQ(ErrorWord(**site.post("/api/v1/projectors/hall/commands/CR0")), "unknown-command");
  EXPECT_EQ(ErrorWord(**site.post("/api/v1/projectors/hall/keys/Command1")), "unknown-key");
}

TEST(ServeWeb, AHeldKeyRepeatsAtThePanelsPeriodUntilReleasedOrNoLongerHeardOf) {
  Site site;
  site.hall.line.now = Replied("\x06\r");
  const auto held = site.post("/api/v1/projectors/hall/keys/volume-up");
  ASSERT_EQ((*held)->status, 200);
  EXPECT_NE((*held)->body.find("\"hold\":\"hall.1\",\"periodMs\":250"), std::string::npos);
  site.clock.advance(750);
  EXPECT_EQ(site.hall.line.sent, (std::vector<std::string>{"C09", "C09", "C09", "C09"}));
  EXPECT_EQ(site.post("/api/v1/holds/hall.1/heartbeat")->value().status, 204);
  site.clock.advance(999);
  EXPECT_EQ(site.hall.line.sent.size(), 7U) << "the heartbeat kept it held";
  site.clock.advance(2001);
  EXPECT_EQ(site.hall.line.sent.size(), 8U) << "let go a second after the last heartbeat";
  EXPECT_EQ(ErrorWord(**site.post("/api/v1/holds/hall.1/heartbeat")), "unknown-hold");

  // A repeat waits for the one before it: a slow line gets fewer, never a queue.
  site.hall.line.now.reset();
  site.post("/api/v1/projectors/hall/keys/brightness-up");
  site.clock.advance(200);
  EXPECT_EQ(site.hall.line.sent.size(), 10U) << "the press, then one repeat on the line";
  site.hall.line.end(Replied("\x06\r"));
  site.hall.line.end(Replied("\x06\r"));
  site.clock.advance(50);
  EXPECT_EQ(site.hall.line.sent.back(), "C20");
  EXPECT_EQ(site.post("/api/v1/holds/hall.2/release")->value().status, 204);
  EXPECT_EQ(site.post("/api/v1/holds/hall.2/release")->value().status, 204) << "idempotent";
  site.hall.line.end(Replied("\x06\r"));
  const std::size_t released = site.hall.line.sent.size();
  site.clock.advance(1000);
  EXPECT_EQ(site.hall.line.sent.size(), released);
}

TEST(ServeWeb, TheCursorKeysFollowTheModeTheMenuAndZoomKeysSet) {
  test::VirtualClock clock;
  test::VirtualClock::Timer period(clock);
  test::VirtualClock::Timer beat(clock);
  HeldExchanges line;
  line.now = Replied("\x06\r");
  KeyRepeat keys(line, period, beat, kKeyHeartbeatMs);
  const auto periodAfter = [&](std::string_view before) {
    if (!before.empty()) {
      const KeyAction key = *FindKey(before);
      if (key.repeat != nullptr) {
        keys.hold(key, "a", [](auto&) {});
        keys.release("a");
      } else {
        keys.press(key, [](auto&) {});
      }
    }
    keys.hold(*FindKey("cursor-up"), "b", [](auto&) {});
    const int ms = keys.periodMs();
    keys.release("b");
    return ms;
  };
  EXPECT_EQ(periodAfter(""), 200);
  EXPECT_EQ(periodAfter("zoom-up"), 5);
  EXPECT_EQ(periodAfter("menu-on"), 200);
  EXPECT_EQ(periodAfter("zoom-down"), 5);
  EXPECT_EQ(periodAfter("a-image"), 200);
}

TEST(ServeWeb, TheKeypadHoldsEveryKeyOfThePanelOnce) {
  std::multiset<std::string_view> controls;
  for (const KeypadGroup& group : KeypadGroups()) {
    for (const KeypadKey& key : group.keys) {
      controls.insert(key.control);
      const std::optional<KeyAction> action = FindKey(key.name);
      ASSERT_TRUE(action) << key.name;
      EXPECT_FALSE(action->caption.empty()) << key.name;
    }
  }
  std::size_t bound = 0;
  for (const auto& binding : panel::OneShotBindings()) {
    EXPECT_EQ(controls.count(binding.control), 1U) << binding.control;
    EXPECT_EQ(FindKey(binding.name)->code, panel::FindOneShot(binding.control)->code);
    ++bound;
  }
  for (const auto& binding : panel::RepeatBindings()) {
    EXPECT_EQ(controls.count(binding.control), 1U) << binding.control;
    ++bound;
  }
  EXPECT_EQ(controls.size(), bound + 2) << "and the two menu keys";
}

TEST(ServeWeb, EventStreamsAreBoundedWithoutTurningANewcomerAway) {
  test::VirtualClock clock;
  test::VirtualClock::Timer keepalive(clock);
  std::vector<std::string> logged;
  EventStreams streams(keepalive, {4, 2, 64, 15000},
                       [&logged](Priority, const std::string& t) { logged.push_back(t); });
  const auto a1 = streams.open("10.0.0.1", "hello\n");
  const auto a2 = streams.open("10.0.0.1", "");
  const auto b1 = streams.open("10.0.0.2", "");
  EXPECT_EQ(a1->waiting(), 6U) << "the opening waits to be sent";
  const auto a3 = streams.open("10.0.0.1", "");
  EXPECT_FALSE(a1->open()) << "an address's own oldest makes way";
  const auto c1 = streams.open("10.0.0.3", "");
  const auto d1 = streams.open("10.0.0.4", "");
  EXPECT_FALSE(a2->open()) << "the oldest of the address that holds the most";
  EXPECT_TRUE(b1->open() && a3->open() && c1->open() && d1->open());
  EXPECT_EQ(streams.count(), 4U);
  EXPECT_EQ(logged.size(), 1U) << "one line for the episode";

  d1->gone();
  EXPECT_EQ(streams.count(), 3U) << "a reader that left is forgotten";
  std::vector<char> buffer(64);
  streams.publish("projector", "{\"id\":\"hall\"}");
  EXPECT_EQ(c1->waiting(),
            std::string_view("event: projector\ndata: {\"id\":\"hall\"}\n\n").size());
  for (const auto& reader : {b1, a3}) reader->take(buffer.data(), buffer.size());
  streams.publish("projector", "{\"id\":\"hall\"}");
  EXPECT_FALSE(c1->open()) << "a reader that does not read is cut off at the bound";
  EXPECT_TRUE(b1->open() && a3->open());
  EXPECT_EQ(streams.count(), 2U);
  EXPECT_EQ(streams.closed(), 3U);
  EXPECT_EQ(logged.size(), 1U);
  clock.advance(15000);
  streams.open("10.0.0.1", "");
  streams.open("10.0.0.1", "");
  EXPECT_EQ(logged.size(), 2U) << "a new episode after the keepalive's period";
}

}  // namespace
}  // namespace mero::serve
