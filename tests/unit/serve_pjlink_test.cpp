// The PJLink side of the service: the mapping onto the projector's own commands with the
// virtual projector answering, the framing and authentication of a client's lines, and the
// queue that shares one line among clients and the poll.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "fakes.h"
#include "link/port/exchange_engine.h"
#include "projector/projector.h"
#include "serve/pjlink_bridge.h"
#include "serve/pjlink_session.h"
#include "serve/qt_pjlink_server.h"
#include "virtual_clock.h"

namespace mero::serve {
namespace {

// The link to a projector: canned replies where given, the virtual projector's interpreter
// on the virtual clock for the rest when `live`, otherwise an exchange that ends as `kind`. The
// codes sent are kept.
class FakeLink : public link::Exchanges {
 public:
  void exchange(std::string_view code, std::function<void(const ExchangeResult&)> done) override {
    sent.emplace_back(code);
    const auto it = replies.find(std::string(code));
    if (it != replies.end()) return done({ExchangeResult::Kind::Reply, it->second, 1});
    if (!live) return done({kind, {}, 0});
    done({ExchangeResult::Kind::Reply, projector.Handle(code, clock.now()), 1});
  }
  bool live = false;
  std::map<std::string, link::Bytes> replies;
  ExchangeResult::Kind kind = ExchangeResult::Kind::NoReply;
  test::VirtualClock clock;
  vp::Projector projector;
  std::vector<std::string> sent;
};

std::string Answer(PjlinkBridge& bridge, const std::string& request) {
  std::string answer = "(none)";
  bridge.answer(request.substr(0, 4), request.size() > 5 ? request.substr(5) : "",
                [&](std::string result) { answer = std::move(result); });
  return answer;
}

// Every row that sets something, sent to the virtual projector from the opposite state, then
// read back by its query: at once, and once a warm-up or cool-down is over.
TEST(PjlinkMapping, EverySetRowReadsBackOnTheVirtualProjector) {
  struct Case {
    bool startOn;
    std::string first;  // the opposite state, set before
    std::string query;
    std::string atOnce;
    std::string settled;
  };
  const std::map<std::string, Case> cases = {
      {"POWR 1", {false, "", "POWR ?", "3", "1"}},
      {"POWR 0", {true, "", "POWR ?", "2", "0"}},
      {"INPT 11", {true, "INPT 21", "INPT ?", "11", "11"}},
      {"INPT 12", {true, "INPT 11", "INPT ?", "12", "12"}},
      {"INPT 21", {true, "INPT 11", "INPT ?", "21", "21"}},
      {"AVMT 10", {true, "AVMT 31", "AVMT ?", "21", "21"}},
      {"AVMT 11", {true, "AVMT 30", "AVMT ?", "11", "11"}},
      {"AVMT 20", {true, "AVMT 31", "AVMT ?", "11", "11"}},
      {"AVMT 21", {true, "AVMT 30", "AVMT ?", "21", "21"}},
      {"AVMT 30", {true, "AVMT 31", "AVMT ?", "30", "30"}},
      {"AVMT 31", {true, "AVMT 30", "AVMT ?", "31", "31"}},
  };
  std::size_t setRows = 0;
  for (const PjlinkRow& row : PjlinkRows()) {
    if (row.parameter == "?") continue;
    ++setRows;
    const std::string request = std::string(row.command) + " " + std::string(row.parameter);
    SCOPED_TRACE(request);
    const auto it = cases.find(request);
    ASSERT_NE(it, cases.end()) << "a set row without its read-back";
    const Case& c = it->second;
    FakeLink link;
    link.live = true;
    const vp::Ms settle =
        std::max(link.projector.Settings().warmUpMs, link.projector.Settings().coolDownMs);
    PjlinkBridge bridge(link, {});
    if (c.startOn) {
      ASSERT_EQ(Answer(bridge, "POWR 1"), "OK");
      link.clock.advance(settle);
      ASSERT_EQ(Answer(bridge, "POWR ?"), "1");
    }
    if (!c.first.empty()) {
      ASSERT_EQ(Answer(bridge, c.first), "OK");
    }
    EXPECT_EQ(Answer(bridge, request), "OK");
    EXPECT_EQ(Answer(bridge, c.query), c.atOnce);
    link.clock.advance(settle);
    EXPECT_EQ(Answer(bridge, c.query), c.settled);
  }
  EXPECT_EQ(setRows, cases.size());
}

// The queries, and requests refused before anything goes out.
TEST(PjlinkMapping, RoomControllerSessionOnTheVirtualProjector) {
  struct Row {
    vp::Ms at;
    std::string request;
    std::vector<std::string> onTheLine;
    std::string answer;
  };
  const std::vector<Row> rows = {
      {0, "LAMP ?", {"CR3", "CR0", "CR7"}, "1234 0 1234 0"},
      {0, "AVMT ?", {"CRA"}, "ERR3"},  // stand-by: the projector does not tell its mutes
      {0, "POWR 1", {"CR0", "C00"}, "OK"},
      {6000, "LAMP ?", {"CR3", "CR0", "CR7"}, "1234 1 1234 1"},
      {6000, "ERST ?", {"CR0"}, "000000"},
      {6000, "INF2 ?", {"CR9"}, "QM50 VIRTUAL 1.40"},
      {6000, "NAME ?", {}, "Hall A"},
      {6000, "INF1 ?", {}, "MERO"},
      {6000, "INFO ?", {}, "mero-control 1.40"},
      {6000, "CLSS ?", {}, "1"},
      {6000, "INST ?", {}, "11 12 21"},
      {6000, "POWR 0", {"C01"}, "OK"},
      {6100, "POWR 1", {"CR0"}, "ERR3"},  // cooling: no power-on goes out
      {6100, "INPT 31", {}, "ERR2"},
      {6100, "AVMT 1", {}, "ERR2"},
      {6100, "SVOL ?", {}, "ERR1"},
      {6100, "powr ?", {}, "ERR1"},  // the session makes commands upper case, not the bridge
  };
  FakeLink link;
  link.live = true;
  link.projector.Settings().lampHours = 1234;
  PjlinkBridge bridge(link, {"Hall A", "mero-control 1.40"});
  for (const Row& row : rows) {
    link.clock.advanceTo(row.at);
    link.sent.clear();
    EXPECT_EQ(Answer(bridge, row.request), row.answer) << row.request << " at " << row.at;
    EXPECT_EQ(link.sent, row.onTheLine) << row.request << " at " << row.at;
  }
}

// Every power status the projector reports, as POWR ? and ERST ? tell it.
TEST(PjlinkMapping, EveryPowerStatusInPjlinksTerms) {
  struct Row {
    link::Bytes cr0;
    std::string power;
    std::string errors;
  };
  const std::vector<Row> rows = {
      {"00\r", "1", "000000"},     // on
      {"80\r", "0", "000000"},     // stand-by
      {"40\r", "3", "000000"},     // count down: warming up
      {"20\r", "2", "000000"},     // cooling down
      {"10\r", "ERR4", "000002"},  // power failure
      {"08\r", "1", "001000"},     // temperature warning while on
      {"02\r", "1", "000000"},     // keys disabled, on
      {"04\r", "0", "000000"},     // lamp off by power management
      {"28\r", "2", "001000"},     // temperature warning while cooling
      {"24\r", "2", "000000"},     // cooling down by power management
      {"88\r", "0", "001000"},     // a warning that recovered is still a warning
      {"21\r", "2", "020000"},     // cooling down, all lamps failed
      {"81\r", "2", "020000"},     // cooling and stand-by, lamps failed
      {"99\r", "ERR4", "ERR4"},    // no row of the table
      {"\x15\r", "ERR4", "ERR4"},  // refused
  };
  for (const Row& row : rows) {
    FakeLink link;
    link.replies["CR0"] = row.cr0;
    PjlinkBridge bridge(link, {});
    EXPECT_EQ(Answer(bridge, "POWR ?"), row.power) << row.cr0;
    EXPECT_EQ(Answer(bridge, "ERST ?"), row.errors) << row.cr0;
  }
}

TEST(PjlinkMapping, RepliesTheTablesLeaveOpen) {
  FakeLink link;
  link.replies = {{"CR1", "4\r"},     {"CRA", "80\r"}, {"CR9", "  QM70  \r"},
                  {"CR3", "00042\r"}, {"CR0", "00\r"}, {"CR7", "11\r"}};
  PjlinkBridge bridge(link, {});
  EXPECT_EQ(Answer(bridge, "INPT ?"), "ERR3");  // input mode 4 has no PJLink number
  EXPECT_EQ(Answer(bridge, "AVMT ?"), "ERR3");  // no signal: the mutes are not told
  EXPECT_EQ(Answer(bridge, "INF2 ?"), "QM70");
  EXPECT_EQ(Answer(bridge, "LAMP ?"), "42 1");  // one-lamp mode: lit as the power says
  link.replies.erase("CR7");
  EXPECT_EQ(Answer(bridge, "LAMP ?"), "42 1");
  link.replies = {{"CR1", "9\r"}, {"CRA", "0\r"}, {"CR9", "QM\x01\r"}, {"CR3", "\x15\r"}};
  for (const char* query : {"INPT ?", "AVMT ?", "INF2 ?", "LAMP ?"}) {
    EXPECT_EQ(Answer(bridge, query), "ERR4") << query << ": a reply not understood";
  }
}

TEST(PjlinkMapping, ExchangesThatFailAreTheStandardsErrors) {
  // How the exchange ended (a command's reply, if it has one), the query's and the command's
  // answer.
  const std::vector<std::tuple<ExchangeResult::Kind, link::Bytes, std::string, std::string>> rows =
      {
          {ExchangeResult::Kind::NoReply, {}, "ERR4", "ERR4"},
          {ExchangeResult::Kind::LineDown, {}, "ERR4", "ERR4"},
          {ExchangeResult::Kind::Busy, {}, "ERR3", "ERR3"},
          {ExchangeResult::Kind::NoReply, "\x15\r", "ERR4", "ERR3"},  // NAK: refused now
          {ExchangeResult::Kind::NoReply, "?\r", "ERR4", "ERR4"},
      };
  for (const auto& [kind, commandReply, query, command] : rows) {
    FakeLink link;
    link.kind = kind;
    if (!commandReply.empty()) link.replies["C07"] = commandReply;
    PjlinkBridge bridge(link, {});
    EXPECT_EQ(Answer(bridge, "POWR ?"), query);
    EXPECT_EQ(Answer(bridge, "INPT 21"), command);
  }
}

TEST(PjlinkSession, DigestOfTheStandardsWorkedExample) {
  EXPECT_EQ(PjlinkDigest("498e4a67", "JBMIAProjectorLink"), "5d8409bc1c3fa39749434aa3a5c38682");
}

std::vector<std::string> Steps(PjlinkSession& session, std::string_view bytes) {
  std::vector<std::string> steps;
  EXPECT_TRUE(session.receive(bytes));
  while (auto step = session.next()) {
    switch (step->kind) {
      case SessionStep::Kind::Request:
        steps.push_back("request " + step->command + "|" + step->parameter);
        break;
      case SessionStep::Kind::Answer:
        steps.push_back("answer " + step->text);
        break;
      case SessionStep::Kind::Close:
        steps.push_back("close " + step->text);
        break;
      case SessionStep::Kind::Denied:
        steps.push_back("denied " + step->text);
        break;
    }
  }
  return steps;
}

TEST(PjlinkSession, FramingOfAClientsLines) {
  struct Row {
    std::string bytes;
    std::vector<std::string> steps;
  };
  const std::vector<Row> rows = {
      {"%1POWR 1\r", {"request POWR|1"}},
      {"%1powr ?\r\n%1INPT 21\r", {"request POWR|?", "request INPT|21"}},
      {"%1POWR ?", {}},  // no CR yet
      {"%2SNUM ?\r", {"answer %2SNUM=ERR1\r"}},
      {"%1POWR\r", {"request POWR|"}},
      {"%1INPT " + std::string(128, '1') + "\r", {"request INPT|" + std::string(128, '1')}},
      {"GET / HTTP/1.0\r", {"close "}},
      {std::string("\x00\xff%1\x01\x02\x03\x04 1\r", 11), {"close "}},
      {"%1PO\r", {"close "}},
  };
  for (const Row& row : rows) {
    PjlinkSession session(std::nullopt, {});
    EXPECT_EQ(session.greeting(), "PJLINK 0\r");
    EXPECT_EQ(Steps(session, row.bytes), row.steps) << row.bytes;
  }
}

TEST(PjlinkSession, ALineLongerThanTheStandardsIsNotBuffered) {
  PjlinkSession session(std::nullopt, {});
  EXPECT_TRUE(session.receive(std::string(kLongestLine - 1, 'x')));
  EXPECT_FALSE(session.receive("xx"));
  PjlinkSession endless(std::nullopt, {});
  bool taken = true;
  for (int i = 0; i < 200 && taken; ++i) taken = endless.receive("%1POWR ?\r");
  EXPECT_FALSE(taken) << "lines sent far ahead of their answers are bounded";
}

// 136 bytes with the CR, and the 32 digits of a digest besides: for a whole line, and for the
// part of one that has come without its CR.
TEST(PjlinkSession, TheLongestLineWithAndWithoutDigest) {
  const std::string digest = PjlinkDigest("498e4a67", "JBMIAProjectorLink");
  for (const bool withDigest : {false, true}) {
    for (const std::size_t length : {kLongestLine, kLongestLine + 1}) {
      const std::string parameter(length - 8, '1');  // "%1INPT ", the parameter, CR
      const std::string line = (withDigest ? digest : "") + "%1INPT " + parameter + "\r";
      const bool fits = length == kLongestLine;
      SCOPED_TRACE((withDigest ? "with digest, " : "") + std::to_string(length));
      PjlinkSession session(withDigest ? std::optional(digest) : std::nullopt, "498e4a67");
      EXPECT_EQ(Steps(session, line),
                std::vector<std::string>{fits ? "request INPT|" + parameter : "close "});
      PjlinkSession open(withDigest ? std::optional(digest) : std::nullopt, "498e4a67");
      EXPECT_EQ(open.receive(line.substr(0, line.size() - 1)), fits);
    }
  }
}

TEST(PjlinkSession, AuthenticationByDigest) {
  const std::string digest = PjlinkDigest("498e4a67", "JBMIAProjectorLink");
  struct Row {
    std::string bytes;
    std::vector<std::string> steps;
  };
  const std::vector<Row> rows = {
      {digest + "%1POWR ?\r%1INPT ?\r", {"request POWR|?", "request INPT|?"}},
      {"5D8409BC1C3FA39749434AA3A5C38682%1POWR ?\r", {"request POWR|?"}},
      {"%1POWR ?\r", {"close PJLINK ERRA\r"}},
      {std::string(32, '0') + "%1POWR ?\r", {"denied PJLINK ERRA\r"}},
      {digest + "%1POWR ?\r" + std::string(32, 'a') + "%1POWR ?\r",
       {"request POWR|?", "denied PJLINK ERRA\r"}},
  };
  for (const Row& row : rows) {
    PjlinkSession session(digest, "498e4a67");
    EXPECT_EQ(session.greeting(), "PJLINK 1 498e4a67\r");
    EXPECT_EQ(Steps(session, row.bytes), row.steps) << row.bytes;
  }
}

}  // namespace
}  // namespace mero::serve
