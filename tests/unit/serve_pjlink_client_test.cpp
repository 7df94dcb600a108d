// One PJLink connection's course on the virtual clock (the end of a client's input, the
// deadlines, the delayed answer to a wrong digest), who gets a place when the server is full,
// and what is logged of failed authentications.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "serve/pjlink_admission.h"
#include "serve/pjlink_bridge.h"
#include "serve/pjlink_client.h"
#include "serve/qt_pjlink_server.h"
#include "virtual_clock.h"

namespace mero::serve {
namespace {

// A socket as the client logic sees it: bytes the test feeds, what was written, and how it
// was closed. `stalled`: the peer takes nothing, so all that is written stays unsent.
class FakeStream : public ClientStream {
 public:
  enum class End { Open, WhenSent, Aborted };

  std::string read(std::size_t most) override {
    std::string bytes = incoming.substr(0, most);
    incoming.erase(0, bytes.size());
    if (incoming.empty() && peerEnded) ended_ = true;
    return bytes;
  }
  bool ended() const override { return ended_; }
  void setReading(bool on) override { reading = on; }
  void write(std::string_view bytes) override {
    if (end == End::Open) written += bytes;
  }
  std::int64_t unsent() const override {
    return stalled ? static_cast<std::int64_t>(written.size()) : 0;
  }
  void closeWhenSent() override {
    if (end != End::Open) return;
    end = End::WhenSent;
    if (!stalled) onGone();
  }
  void abort() override {
    end = End::Aborted;
    onGone();
  }

  void send(const std::string& bytes, bool thenEnd = false) {
    incoming += bytes;
    peerEnded = peerEnded || thenEnd;
    if (reading) onReadable();
  }

  std::string incoming;
  std::string written;
  bool peerEnded = false;
  bool reading = false;
  bool stalled = false;
  End end = End::Open;

 private:
  bool ended_ = false;
};

// The projector behind the bridge: each exchange waits until the test lets it end.
class HeldLink : public link::Exchanges {
 public:
  void exchange(std::string_view, std::function<void(const ExchangeResult&)> done) override {
    held.push_back(std::move(done));
  }
  void release() {
    while (!held.empty()) {
      auto done = std::move(held.front());
      held.pop_front();
      done({ExchangeResult::Kind::Reply, "80\r", 1});  // stand-by
    }
  }
  std::deque<std::function<void(const ExchangeResult&)>> held;
};

struct Owner : PjlinkClientOwner {
  void authenticated(std::uint64_t id) override {
    events.push_back("authenticated " + std::to_string(id));
  }
  int failed(const std::string& address) override {
    events.push_back("failed " + address);
    return kDelayMs;
  }
  void refused(PjlinkRefusal why) override {
    events.push_back(std::string("refused ") +
                     std::string(kPjlinkRefusalNames[static_cast<std::size_t>(why)]));
  }
  void answered() override { ++answers; }
  void finished(std::uint64_t id) override { events.push_back("finished " + std::to_string(id)); }

  static constexpr int kDelayMs = 1000;
  std::vector<std::string> events;
  int answers = 0;
};

constexpr const char* kRandom = "498e4a67";
constexpr const char* kPassword = "JBMIAProjectorLink";

// A client with its fakes, started on the virtual clock.
struct Rig {
  explicit Rig(bool password = false, PjlinkLimits given = {})
      : limits(given),
        client(7, "192.0.2.1", stream, deadline, bridge,
               password ? PjlinkSession(PjlinkDigest(kRandom, kPassword), kRandom)
                        : PjlinkSession(std::nullopt, {}),
               limits, owner) {
    client.start();
  }
  test::VirtualClock clock;
  test::VirtualClock::Timer deadline{clock};
  FakeStream stream;
  HeldLink link;
  PjlinkBridge bridge{link, {"hall", "mero-control"}};
  Owner owner;
  PjlinkLimits limits;
  PjlinkClient client;
};

TEST(PjlinkClient, TheEndOfInputClosesOnlyOnceEveryCompleteRequestIsAnswered) {
  Rig rig;
  rig.stream.send("%1POWR ?\r%1NAME ?\r%1INPT", true);
  EXPECT_EQ(rig.stream.written, "PJLINK 0\r");
  EXPECT_EQ(rig.stream.end, FakeStream::End::Open) << "the projector has not answered yet";
  EXPECT_FALSE(rig.stream.reading) << "what comes after waits while a request is out";
  rig.link.release();
  EXPECT_EQ(rig.stream.written, "PJLINK 0\r%1POWR=0\r%1NAME=hall\r")
      << "the line left without its CR is not a request";
  EXPECT_EQ(rig.stream.end, FakeStream::End::WhenSent);
  EXPECT_EQ(rig.owner.events, (std::vector<std::string>{"authenticated 7", "finished 7"}));
  EXPECT_EQ(rig.owner.answers, 2);
}

// Each deadline, what the client had done by then, and how the connection ends.
TEST(PjlinkClient, DeadlinesOnTheVirtualClock) {
  const PjlinkLimits limits;
  const std::string digest = PjlinkDigest(kRandom, kPassword);
  struct Row {
    std::string name;
    bool password;
    std::vector<std::pair<int, std::string>> sent;  // at, bytes
    int until;
    std::string written;  // after the greeting
    FakeStream::End end;
    std::vector<std::string> events;
  };
  const std::vector<Row> rows = {
      {"silent", false, {}, limits.firstRequestMs - 1, "", FakeStream::End::Open, {}},
      {"silent too long",
       false,
       {},
       limits.firstRequestMs,
       "",
       FakeStream::End::WhenSent,
       {"refused no_request", "finished 7"}},
      {"a line, but no request",
       true,
       {{100, "%1PO"}},
       limits.firstRequestMs,
       "",
       FakeStream::End::WhenSent,
       {"refused no_request", "finished 7"}},
      {"asked in time, then idle until just before",
       false,
       {{limits.firstRequestMs - 1, "%1NAME ?\r"}},
       limits.firstRequestMs - 1 + limits.idleMs - 1,
       "%1NAME=hall\r",
       FakeStream::End::Open,
       {"authenticated 7"}},
      {"then idle",
       false,
       {{limits.firstRequestMs - 1, "%1NAME ?\r"}},
       limits.firstRequestMs - 1 + limits.idleMs,
       "%1NAME=hall\r",
       FakeStream::End::WhenSent,
       {"authenticated 7", "finished 7"}},
      {"each request starts the idle time anew",
       true,
       {{10, digest + "%1NAME ?\r"}, {20000, "%1CLSS ?\r"}},
       20000 + limits.idleMs - 1,
       "%1NAME=hall\r%1CLSS=1\r",
       FakeStream::End::Open,
       {"authenticated 7"}},
      {"a wrong digest waits for its answer",
       true,
       {{10, std::string(32, 'f') + "%1NAME ?\r%1CLSS ?\r"}},
       10 + Owner::kDelayMs - 1,
       "",
       FakeStream::End::Open,
       {"refused wrong_digest", "failed 192.0.2.1"}},
      {"and is then told and closed",
       true,
       {{10, std::string(32, 'f') + "%1NAME ?\r%1CLSS ?\r"}},
       10 + Owner::kDelayMs,
       "PJLINK ERRA\r",
       FakeStream::End::WhenSent,
       {"refused wrong_digest", "failed 192.0.2.1", "finished 7"}},
      {"no digest is told at once",
       true,
       {{10, "%1NAME ?\r"}},
       10,
       "PJLINK ERRA\r",
       FakeStream::End::WhenSent,
       {"refused no_digest", "finished 7"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Rig rig(row.password);
    for (const auto& [at, bytes] : row.sent) {
      rig.clock.advanceTo(at);
      rig.stream.send(bytes);
    }
    rig.clock.advanceTo(row.until);
    const std::string greeting = row.password ? "PJLINK 1 498e4a67\r" : "PJLINK 0\r";
    EXPECT_EQ(rig.stream.written, greeting + row.written);
    EXPECT_EQ(rig.stream.end, row.end);
    EXPECT_EQ(rig.owner.events, row.events);
  }
}

TEST(PjlinkClient, APeerThatTakesNothingIsBoundedAndSoIsItsClose) {
  Rig flooding;
  flooding.stream.stalled = true;
  std::string lines;
  for (int i = 0; i < 400; ++i) lines += "%1NAME ?\r";
  for (std::size_t at = 0; at < lines.size() && flooding.stream.end == FakeStream::End::Open;
       at += 100) {
    flooding.stream.send(lines.substr(at, 100));
  }
  EXPECT_EQ(flooding.stream.end, FakeStream::End::Aborted);
  EXPECT_LE(flooding.stream.written.size(),
            static_cast<std::size_t>(flooding.limits.mostUnsentBytes) + 20);
  EXPECT_EQ(flooding.owner.events,
            (std::vector<std::string>{"authenticated 7", "refused unsent", "finished 7"}));

  Rig closing;
  closing.stream.stalled = true;
  closing.stream.send("GET / HTTP/1.0\r");
  EXPECT_EQ(closing.stream.end, FakeStream::End::WhenSent);
  closing.clock.advance(closing.limits.closingMs - 1);
  EXPECT_EQ(closing.stream.end, FakeStream::End::WhenSent) << "its answer still has time to go";
  closing.clock.advance(1);
  EXPECT_EQ(closing.stream.end, FakeStream::End::Aborted);
  EXPECT_EQ(closing.owner.events, (std::vector<std::string>{"refused not_pjlink", "finished 7"}));
}

// Newcomers from addresses: those admitted, and those closed to make room.
struct House {
  explicit House(PjlinkLimits limits = {}) : admission(limits) {}
  // The newcomer's id when admitted, 0 when turned away.
  std::uint64_t come(const std::string& address) {
    const std::uint64_t id = ++next;
    const auto decision = admission.admit(id, address);
    if (decision.evicted) evicted.push_back(*decision.evicted);
    if (decision.refusal) {
      refusals.push_back(*decision.refusal);
      return 0;
    }
    return id;
  }
  PjlinkAdmission admission;
  std::uint64_t next = 0;
  std::vector<std::uint64_t> evicted;
  std::vector<PjlinkRefusal> refusals;
};

// Connections that never authenticate, reopened as soon as they are closed, from one address
// and from many: the controller that knows the password gets in and stays. From fewer
// addresses than the unauthenticated share less one, some address always holds two places
// and gives them up first, however long the controller takes; from more, the controller's
// place is safe while fewer newcomers than the share come before its first request.
TEST(PjlinkAdmission, AControllerGetsInWhateverSilentConnectionsHold) {
  const PjlinkLimits limits;
  for (const int addresses : {1, 3, 8, limits.mostUnauthenticated - 2, 100}) {
    SCOPED_TRACE(std::to_string(addresses) + " flooding addresses");
    House house;
    const auto flooder = [&](int i) { return "10.0.0." + std::to_string(i % addresses); };
    for (int i = 0; i < 200; ++i) house.come(flooder(i));
    EXPECT_EQ(house.admission.clients(),
              static_cast<std::size_t>(std::min({addresses * limits.mostPerAddress,
                                                 limits.mostUnauthenticated, limits.mostClients})));
    const std::uint64_t controller = house.come("192.0.2.50");
    ASSERT_NE(controller, 0U);
    // The flood keeps coming while the controller is greeted and sends its digest.
    const bool anyWhile = addresses <= limits.mostUnauthenticated - 2;
    const int before = anyWhile ? 500 : limits.mostUnauthenticated - 1;
    for (int i = 0; i < before; ++i) house.come(flooder(i));
    EXPECT_EQ(std::ranges::count(house.evicted, controller), 0);
    house.admission.authenticated(controller);
    for (int i = 0; i < 500; ++i) house.come(flooder(i));
    EXPECT_EQ(std::ranges::count(house.evicted, controller), 0);
    EXPECT_LE(house.admission.clients(), static_cast<std::size_t>(limits.mostClients));
  }
}

TEST(PjlinkAdmission, BoundsOfAddressesAndOfTheHouse) {
  House house({.mostClients = 4, .mostPerAddress = 2, .mostUnauthenticated = 2});
  const std::uint64_t a1 = house.come("a");
  const std::uint64_t a2 = house.come("a");
  EXPECT_EQ(house.come("a"), 0U);
  EXPECT_EQ(house.refusals, std::vector<PjlinkRefusal>{PjlinkRefusal::AddressFull});
  // The unauthenticated share is full: b's newcomer takes the oldest place of a.
  const std::uint64_t b1 = house.come("b");
  EXPECT_EQ(house.evicted, std::vector<std::uint64_t>{a1});
  house.admission.authenticated(a2);
  house.admission.authenticated(b1);
  const std::uint64_t c1 = house.come("c");
  const std::uint64_t d1 = house.come("d");
  EXPECT_EQ(house.evicted, std::vector<std::uint64_t>{a1}) << "a place was free";
  EXPECT_EQ(house.come("e"), house.next) << "the house is full: c, the oldest, makes room";
  EXPECT_EQ(house.evicted, (std::vector<std::uint64_t>{a1, c1}));
  house.admission.authenticated(d1);
  house.admission.authenticated(house.next);
  EXPECT_EQ(house.come("f"), 0U) << "every place authenticated";
  EXPECT_EQ(house.refusals.back(), PjlinkRefusal::ServerFull);
  house.admission.release(a2);
  house.admission.release(a2);
  EXPECT_NE(house.come("f"), 0U) << "a place given up is free, once";
  EXPECT_EQ(house.admission.clients(), 4U);
}

// The delays of wrong digests and their log lines: the first of an address at once, then a
// count a minute; an address quiet for a minute starts over.
TEST(PjlinkFailures, DelaysGrowAndTheLogSaysLittle) {
  test::VirtualClock clock;
  test::VirtualClock::Timer timer(clock);
  std::vector<std::string> log;
  PjlinkLimits limits;
  limits.mostFailingAddresses = 2;
  PjlinkFailures failures(
      limits, timer, [&] { return clock.now(); },
      [&](Priority priority, const std::string& text) {
        EXPECT_EQ(priority, Priority::Warning);
        log.push_back(std::to_string(clock.now()) + " " + text);
      });
  std::vector<int> delays;
  for (int i = 0; i < 6; ++i) {
    delays.push_back(failures.failed("192.0.2.1"));
    clock.advance(1000);
  }
  EXPECT_EQ(delays, (std::vector<int>{1000, 2000, 4000, 8000, 8000, 8000}));
  EXPECT_EQ(failures.failed("192.0.2.2"), 1000) << "each address on its own";
  EXPECT_EQ(failures.failed("192.0.2.3"), 1000);
  EXPECT_EQ(failures.failed("192.0.2.4"), 2000) << "beyond the addresses remembered, one record";
  clock.advanceTo(PjlinkFailures::kWindowMs * 3);
  EXPECT_EQ(failures.failed("192.0.2.1"), 1000) << "forgotten after a quiet minute";
  EXPECT_EQ(log, (std::vector<std::string>{
                     "0 PJLink authentication failed from 192.0.2.1",
                     "6000 PJLink authentication failed from 192.0.2.2",
                     "6000 PJLink authentication failed from other addresses",
                     "60000 5 failed authentications from 192.0.2.1 in the last minute",
                     "66000 1 failed authentications from other addresses in the last minute",
                     "180000 PJLink authentication failed from 192.0.2.1",
                 }));
  EXPECT_EQ(failures.addresses(), 1U);
}

}  // namespace
}  // namespace mero::serve
