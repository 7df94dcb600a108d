#include "link/port/exchange_engine.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "link/protocol/commands.h"
#include "virtual_clock.h"

namespace mero::link {
namespace {

// The engine over a recorded line on the virtual clock; each ended exchange is noted as
// "TEXT kind reply" with the CR of TEXT left out.
constexpr std::array<const char*, ExchangeResult::kKinds> kKinds{"reply", "no-reply", "line-down",
                                                                 "busy", "cut"};

struct EngineRig {
  test::VirtualClock clock;
  test::VirtualClock::Timer timer{clock};
  std::vector<Bytes> sent;
  std::vector<std::string> ends;
  bool writable = true;
  ExchangeEngine engine{[this](const Bytes& text) {
                          sent.push_back(text);
                          return writable;
                        },
                        timer, [this] { return static_cast<double>(clock.now()); },
                        ExchangeLimits{16, 3, 500, 3000}};

  std::vector<std::string> reported;  // by onExchanged, the same way

  EngineRig() {
    engine.setLineUp(true);
    engine.onExchanged = [this](const Bytes& text, const ExchangeResult& result) {
      reported.push_back(text.substr(0, text.size() - 1) + " " +
                         kKinds[static_cast<std::size_t>(result.kind)] + " " + result.reply);
    };
  }
  void ask(std::string_view code) {
    engine.exchange(code, [this, code = std::string(code)](const ExchangeResult& result) {
      ends.push_back(code + " " + kKinds[static_cast<std::size_t>(result.kind)] + " " +
                     result.reply);
    });
  }
};

int WindowOf(std::string_view code) { return RequestForCode(code).windowMs; }

TEST(ExchangeEngine, OneQueryForEveryAskerWithinItsWindowAndCommandsMakeAnswersStale) {
  EngineRig rig;
  rig.ask("CR0");
  rig.ask("CR3");
  rig.ask("CR0");  // joins the one under way
  ASSERT_EQ(rig.sent, std::vector<Bytes>{"CR0\r"}) << "one exchange at a time";
  rig.engine.received("8");
  rig.engine.received("0\r");
  rig.engine.received("12345\r");
  rig.ask("CR0");  // fresh
  EXPECT_EQ(rig.sent, (std::vector<Bytes>{"CR0\r", "CR3\r"}));
  EXPECT_EQ(rig.ends, (std::vector<std::string>{"CR0 reply 80\r", "CR0 reply 80\r",
                                                "CR3 reply 12345\r", "CR0 reply 80\r"}));
  rig.clock.advance(WindowOf("CR0") + 1);
  rig.ask("CR0");
  EXPECT_EQ(rig.sent.size(), 3U) << "an answer older than its window is asked again";
  rig.engine.received("00\r");
  rig.ask("C01");
  rig.engine.received("\x06\r");
  rig.ask("CR0");
  EXPECT_EQ(rig.sent.back(), "CR0\r") << "a command makes every answer stale";
  rig.ask("C01");
  rig.ask("C01");
  EXPECT_EQ(rig.sent.size(), 5U) << "commands are never shared: the second waits its turn";
  EXPECT_EQ(rig.reported, (std::vector<std::string>{"CR0 reply 80\r", "CR3 reply 12345\r",
                                                    "CR0 reply 00\r", "C01 reply \x06\r"}))
      << "an exchange is reported once, however many shared its answer";
}

// What comes on the line at which time, against what each exchange gets.
TEST(ExchangeEngine, RepliesBelongToTheirOwnWindowOnly) {
  struct Arrival {
    int atMs;
    Bytes bytes;
  };
  struct Case {
    const char* what;
    std::vector<Arrival> arrivals;  // after "CR9" is sent at 0; "CR1" is asked right after it
    std::vector<std::string> ends;
  };
  const int window = WindowOf("CR9");
  // A line that chatters every 100 ms never falls silent for 500 ms: the next command goes
  // once the longest wait, 3 s, is over.
  std::vector<Arrival> chatter;
  for (int ms = 100; ms < 3000; ms += 100) chatter.push_back({window + ms, "?"});
  chatter.push_back({window + 3010, "1\r"});
  const std::vector<Case> cases = {
      {"in time", {{10, "QM50\r"}, {20, "1\r"}}, {"CR9 reply QM50\r", "CR1 reply 1\r"}},
      {"a reply in pieces",
       {{10, "QM"}, {15, "50\r"}, {20, "1\r"}},
       {"CR9 reply QM50\r", "CR1 reply 1\r"}},
      {"a reply 200 ms late is dropped, and the next command waits for the silence",
       {{window + 200, "QM50\r"}, {window + 699, "x"}, {window + 1300, "1\r"}},
       {"CR9 no-reply ", "CR1 reply 1\r"}},
      {"a line that never falls silent", chatter, {"CR9 no-reply ", "CR1 reply 1\r"}},
      {"a reply that misses its CR keeps what came",
       {{10, "QM5"}},
       {"CR9 no-reply QM5", "CR1 no-reply "}},
      {"the bound cuts the reply",
       {{10, std::string(20, 'A')}},
       {"CR9 cut " + std::string(16, 'A'), "CR1 no-reply "}},
  };
  for (const Case& c : cases) {
    EngineRig rig;
    rig.engine.received("unasked\r");
    rig.ask("CR9");
    rig.ask("CR1");
    for (const Arrival& arrival : c.arrivals) {
      rig.clock.advanceTo(arrival.atMs);
      rig.engine.received(arrival.bytes);
    }
    rig.clock.advance(10000);
    EXPECT_EQ(rig.ends, c.ends) << c.what;
  }
}

TEST(ExchangeEngine, QueueBoundLineDownAndFailedWrites) {
  EngineRig rig;
  for (int i = 0; i < 6; ++i) rig.ask("C00");
  EXPECT_EQ(rig.ends, (std::vector<std::string>{"C00 busy ", "C00 busy "}))
      << "one under way, three waiting, the rest turned away";
  rig.engine.received("\x06");
  rig.engine.setLineUp(false);
  EXPECT_EQ(rig.ends.size(), 6U) << "everything waiting ends at once";
  EXPECT_EQ(rig.ends[2], "C00 line-down \x06") << "what came before the loss is kept";
  rig.ask("CR0");
  EXPECT_EQ(rig.ends.back(), "CR0 line-down ");
  rig.engine.setLineUp(true);
  rig.writable = false;
  rig.ask("CR0");
  EXPECT_EQ(rig.ends.back(), "CR0 line-down ") << "a write the line refuses";
  rig.writable = true;
  rig.ask("CR0");
  rig.engine.received("00\r");
  EXPECT_EQ(rig.ends.back(), "CR0 reply 00\r") << "the engine goes on after it";
  EXPECT_EQ(rig.reported, rig.ends) << "refusals are reported, so that they are counted";
}

TEST(ExchangeEngine, AnAskerMayAskAgainFromItsAnswer) {
  EngineRig rig;
  rig.engine.exchange("CR0", [&rig](const ExchangeResult&) { rig.ask("C00"); });
  rig.engine.received("80\r");
  EXPECT_EQ(rig.sent, (std::vector<Bytes>{"CR0\r", "C00\r"}));
  for (const StatusQuery& query : StatusQueries()) {
    EXPECT_GE(RequestForCode("XYZ").windowMs, RequestForCode(query.code).windowMs)
        << "a code no table knows gets the longest window";
  }
}

}  // namespace
}  // namespace mero::link
