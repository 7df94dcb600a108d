// The service's HTTP server on real loopback sockets: every bound a client can meet, answered
// as decided, counted, and logged once per episode.
#include <gtest/gtest.h>

#include <QTimer>
#include <memory>
#include <string>
#include <vector>

#include "http_probe.h"
#include "serve/qt_http_server.h"

namespace mero::test {
namespace {

using serve::QtHttpServer;
namespace http = serve::http;

constexpr std::size_t kEchoBound = std::size_t{64} * 1024;

struct Server {
  explicit Server(QtHttpServer::Limits limits = Small()) {
    http::Routes routes;
    routes.add("/page", {{"GET"}, 0, http::Now([](const http::Request&) {
                           return http::Response{200, "text/plain", "the page\n", {}, {}};
                         })});
    routes.add("/echo", {{"POST"}, kEchoBound, http::Now([](const http::Request& request) {
                           return http::Response{200,
                                                 "application/octet-stream",
                                                 request.body,
                                                 {{"X-Seen", request.header("x-sent")}},
                                                 {}};
                         })});
    routes.add("/later", {{"GET"}, 0, [this](const http::Request&, const http::Answer& answer) {
                            held.push_back(answer);
                          }});
    server = std::make_unique<QtHttpServer>(
        "test", std::move(routes), limits,
        [this](serve::Priority, const std::string& line) { logged.push_back(line); },
        [this](http::Refusal refusal) { ++counted[static_cast<std::size_t>(refusal)]; });
    std::string error;
    listening = server->listen("127.0.0.1", 0, &error);
    EXPECT_TRUE(listening) << error;
  }
  static QtHttpServer::Limits Small() { return {4096, 1, 16, 3}; }
  std::size_t count(http::Refusal refusal) const {
    return counted[static_cast<std::size_t>(refusal)];
  }
  std::size_t loggedWith(const std::string& text) const {
    return static_cast<std::size_t>(std::ranges::count_if(
        logged, [&](const std::string& line) { return line.find(text) != std::string::npos; }));
  }
  quint16 port() const { return server->port(); }

  std::vector<http::Answer> held;
  std::vector<std::string> logged;
  std::array<std::size_t, http::kRefusalKinds> counted{};
  std::unique_ptr<QtHttpServer> server;
  bool listening = false;
};

std::string Chunked(std::size_t bytes) {
  std::string chunk(4096, 'x');
  std::string text;
  for (std::size_t sent = 0; sent < bytes; sent += chunk.size())
    text += "1000\r\n" + chunk + "\r\n";
  return text;
}

TEST(HttpServer, EachRequestGetsItsAnswerAndOnlyBoundsCloseTheConnection) {
  const std::string big(8192, 'a');
  struct Case {
    std::string name;
    std::string request;
    int status;
    std::string body;  // "*" for any
    bool closes;
    bool head = false;
  };
  const std::vector<Case> cases = {
      {"get", "GET /page HTTP/1.1\r\nHost: h\r\n\r\n", 200, "the page\n", false},
      {"head", "HEAD /page HTTP/1.1\r\nHost: h\r\n\r\n", 200, "", false, true},
      {"query ignored", "GET /page?x=1 HTTP/1.1\r\nHost: h\r\n\r\n", 200, "the page\n", false},
      {"unknown path", "GET /nothing HTTP/1.1\r\nHost: h\r\n\r\n", 404, "*", false},
      {"post to get-only", "POST /page HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n\r\nhello", 405,
       "*", true},
      {"echo", "POST /echo HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n\r\nhello", 200, "hello",
       false},
      {"chunked echo",
       "POST /echo HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
       200, "abc", false},
      {"declared too large", "POST /echo HTTP/1.1\r\nHost: h\r\nContent-Length: 70000\r\n\r\n", 413,
       "*", true},
      {"chunked too large",
       "POST /echo HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n" + Chunked(70000), 413,
       "*", true},
      {"body on get", "GET /page HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\n\r\nabc", 413, "*",
       true},
      {"chunked body on get",
       "GET /page HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
       413, "*", true},
      {"header over bound", "GET /page HTTP/1.1\r\nHost: h\r\nX-Big: " + big + "\r\n\r\n", 431, "*",
       true},
      {"uri over bound", "GET /page?" + big + " HTTP/1.1\r\nHost: h\r\n\r\n", 414, "*", true},
      {"close asked", "GET /page HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n", 200,
       "the page\n", true},
      {"http/1.0", "GET /page HTTP/1.0\r\n\r\n", 200, "the page\n", true},
  };
  Server server;
  ASSERT_TRUE(server.listening);
  for (const Case& c : cases) {
    HttpProbe probe(server.port());
    ASSERT_TRUE(probe.connected()) << c.name;
    (void)probe.send(c.request);
    const auto reply = probe.reply(c.head);
    ASSERT_TRUE(reply) << c.name << ": no answer, got " << probe.unread();
    EXPECT_EQ(reply->status, c.status) << c.name;
    if (c.body != "*") {
      EXPECT_EQ(reply->body, c.body) << c.name;
    }
    if (c.status == 405) {
      EXPECT_EQ(reply->headers.at("allow"), "GET, HEAD") << c.name;
    }
    if (c.closes) {
      EXPECT_TRUE(probe.closed()) << c.name;
    } else {
      // Kept alive: the same connection takes another request.
      (void)probe.send("GET /page HTTP/1.1\r\nHost: h\r\n\r\n");
      const auto again = probe.reply();
      ASSERT_TRUE(again) << c.name;
      EXPECT_EQ(again->status, 200) << c.name;
    }
  }
  EXPECT_EQ(server.count(http::Refusal::BodyTooLarge), 4U);
  EXPECT_EQ(server.count(http::Refusal::HeaderTooLarge), 2U);
  // No request was answered between them: one episode, one line.
  EXPECT_EQ(server.loggedWith("body over the bound"), 1U);
  EXPECT_EQ(server.loggedWith("request line or headers over the bound"), 1U);
}

TEST(HttpServer, PipelinedRequestsAreAnsweredInOrderOnOneConnection) {
  Server server;
  ASSERT_TRUE(server.listening);
  HttpProbe probe(server.port());
  ASSERT_TRUE(
      probe.send("GET /page HTTP/1.1\r\nHost: h\r\n\r\n"
                 "POST /echo HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\nX-Sent: 2\r\n\r\n"
                 "two"
                 "GET /nothing HTTP/1.1\r\nHost: h\r\n\r\n"
                 "POST /echo HTTP/1.1\r\nHost: h\r\nContent-Length: 4\r\nX-Sent: 4\r\n\r\n"
                 "four"));
  const std::vector<std::pair<int, std::string>> expected = {
      {200, "the page\n"}, {200, "two"}, {404, ""}, {200, "four"}};
  for (const auto& [status, body] : expected) {
    const auto reply = probe.reply();
    ASSERT_TRUE(reply) << "answers stopped before " << body;
    EXPECT_EQ(reply->status, status);
    if (!body.empty()) {
      EXPECT_EQ(reply->body, body);
    }
  }
  EXPECT_FALSE(probe.closed(0));
}

TEST(HttpServer, IdleAndUnfinishedConnectionsAreClosedAtTheIdleTime) {
  Server server;  // one second
  ASSERT_TRUE(server.listening);
  HttpProbe silent(server.port());
  HttpProbe halfHeader(server.port());
  HttpProbe keptAlive(server.port());
  ASSERT_TRUE(halfHeader.send("GET /page HTTP/1.1\r\nHost: h\r\nX-Part"));
  ASSERT_TRUE(keptAlive.send("GET /page HTTP/1.1\r\nHost: h\r\n\r\n"));
  ASSERT_TRUE(keptAlive.reply());
  for (HttpProbe* probe : {&silent, &halfHeader, &keptAlive}) EXPECT_TRUE(probe->closed(4000));
  EXPECT_EQ(server.count(http::Refusal::Idle), 3U);
  EXPECT_EQ(server.loggedWith("idle time"), 1U) << "one episode, one line";
  // A client that closes its own connection in time is no idle one.
  {
    HttpProbe quick(server.port());
    ASSERT_TRUE(quick.send("GET /page HTTP/1.1\r\nHost: h\r\n\r\n"));
    ASSERT_TRUE(quick.reply());
  }
  HttpProbe after(server.port());
  ASSERT_TRUE(after.send("GET /page HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n"));
  ASSERT_TRUE(after.reply());
  EXPECT_EQ(server.count(http::Refusal::Idle), 3U);
}

TEST(HttpServer, ConnectionsOverTheLimitsAreTurnedAwayAndTheRestServed) {
  struct Case {
    QtHttpServer::Limits limits;
    std::size_t held;
  };
  // Per address (all from 127.0.0.1), then in all.
  for (const Case& c : {Case{{4096, 30, 16, 3}, 3}, Case{{4096, 30, 2, 0}, 2}}) {
    Server server(c.limits);
    ASSERT_TRUE(server.listening);
    std::vector<std::unique_ptr<HttpProbe>> held;
    for (std::size_t i = 0; i < c.held; ++i) {
      held.push_back(std::make_unique<HttpProbe>(server.port()));
      ASSERT_TRUE(held.back()->send("GET /page HTTP/1.1\r\nHost: h\r\n\r\n"));
      ASSERT_TRUE(held.back()->reply());
    }
    for (int i = 0; i < 3; ++i) {
      HttpProbe turnedAway(server.port());
      (void)turnedAway.send("GET /page HTTP/1.1\r\nHost: h\r\n\r\n");
      EXPECT_TRUE(turnedAway.closed());
      EXPECT_FALSE(turnedAway.reply(false, 0));
    }
    EXPECT_EQ(server.count(http::Refusal::Crowded), 3U);
    EXPECT_EQ(server.loggedWith("too many open"), 1U);
    held.front().reset();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
          HttpProbe next(server.port());
          (void)next.send("GET /page HTTP/1.1\r\nHost: h\r\n\r\n");
          const auto reply = next.reply(false, 500);
          return reply && reply->status == 200;
        },
        5000))
        << "a freed place serves again";
  }
}

TEST(HttpServer, AHandlerAnswersLaterAndAClientGoneMeanwhileIsNoFault) {
  Server server;
  ASSERT_TRUE(server.listening);
  HttpProbe waiting(server.port());
  ASSERT_TRUE(waiting.send("GET /later HTTP/1.1\r\nHost: h\r\n\r\n"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return server.held.size() == 1; }, 5000));
  {
    HttpProbe gone(server.port());
    ASSERT_TRUE(gone.send("GET /later HTTP/1.1\r\nHost: h\r\n\r\n"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.held.size() == 2; }, 5000));
  }
  EXPECT_FALSE(waiting.reply(false, 0));
  // Others are served while those wait.
  HttpProbe other(server.port());
  ASSERT_TRUE(other.send("GET /page HTTP/1.1\r\nHost: h\r\n\r\n"));
  ASSERT_TRUE(other.reply());
  QTimer::singleShot(0, [&] {
    for (const http::Answer& answer : server.held) answer({202, "text/plain", "done\n", {}, {}});
    server.held.front()({500, "text/plain", "twice\n", {}, {}});
  });
  const auto reply = waiting.reply();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 202);
  EXPECT_EQ(reply->body, "done\n");
  // One still held when the server goes: it is closed, not left hanging.
  ASSERT_TRUE(waiting.send("GET /later HTTP/1.1\r\nHost: h\r\n\r\n"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return server.held.size() == 3; }, 5000));
  server.server.reset();
  EXPECT_TRUE(waiting.closed());
  server.held.back()({200, "text/plain", "too late\n", {}, {}});
}

TEST(HttpServer, AHugeChunkedBodyIsRefusedWithoutGrowingTheProcess) {
  Server server;
  ASSERT_TRUE(server.listening);
  const long before = ResidentKiB();
  const Pushed pushed = PushBody(
      server.port(), "POST /echo HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n",
      Chunked(1 << 20), 150);
  EXPECT_EQ(pushed.answer.substr(0, 12), "HTTP/1.1 413") << pushed.answer;
  EXPECT_LT(pushed.sent, 150U) << "the server read the whole body";
  EXPECT_LT(ResidentKiB() - before, 32 * 1024);
  EXPECT_EQ(server.count(http::Refusal::BodyTooLarge), 1U);
}

}  // namespace
}  // namespace mero::test
