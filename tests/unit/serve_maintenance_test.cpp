// A maintenance client's commands on the projector's engine, on the virtual clock: where they
// fall among PJLink's and the poll's exchanges, whose reply goes to whom, and the bounds that
// close a client while the other askers go on being served.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "serve/config.h"
#include "serve/maintenance_session.h"
#include "virtual_clock.h"

namespace mero::serve {
namespace {

using link::ExchangeResult;

// The socket as the session sees it; `stalled`: the peer takes nothing that is written.
class FakeStream : public ClientStream {
 public:
  enum class End { Open, WhenSent, Aborted };
  std::string read(std::size_t most) override {
    std::string bytes = incoming.substr(0, most);
    incoming.erase(0, bytes.size());
    return bytes;
  }
  bool ended() const override { return false; }
  void setReading(bool on) override { reading = on; }
  void write(std::string_view bytes) override { written += bytes; }
  std::int64_t unsent() const override {
    return stalled ? static_cast<std::int64_t>(written.size()) : 0;
  }
  void closeWhenSent() override { end = End::WhenSent; }
  void abort() override {
    end = End::Aborted;
    if (onGone) onGone();
  }
  void send(const std::string& bytes) {
    incoming += bytes;
    if (reading && onReadable) onReadable();
  }

  std::string incoming;
  std::string written;
  bool reading = false;
  bool stalled = false;
  End end = End::Open;
};

// The engine on a recorded line, one maintenance client and other askers (PJLink, the poll)
// whose ends are noted as "CODE REPLY".
struct Rig {
  test::VirtualClock clock;
  test::VirtualClock::Timer window{clock};
  test::VirtualClock::Timer deadline{clock};
  std::string line;
  link::ExchangeEngine engine{[this](const link::Bytes& text) {
                                line += text;
                                return true;
                              },
                              window, [this] { return static_cast<double>(clock.now()); }};
  MaintenanceLimits limits;
  FakeStream stream;
  std::unique_ptr<MaintenanceSession> session;
  std::vector<std::string> others;
  int counted = 0;
  std::string closedFor = "open";

  explicit Rig(MaintenanceLimits l = {}) : limits(l) {
    engine.setLineUp(true);
    session = std::make_unique<MaintenanceSession>(stream, deadline, engine, limits);
    session->onCommand = [this](const ExchangeResult&) { ++counted; };
    session->onClosed = [this](const std::string& why) { closedFor = why; };
    session->start();
  }
  void ask(const std::string& code) {
    engine.exchange(code, [this, code](const ExchangeResult& r) {
      others.push_back(code + " " + (r.kind == ExchangeResult::Kind::Reply ? r.reply : "-"));
    });
  }
  // "P CODE" another asker, "M BYTES" the client sends, "R BYTES" the projector answers,
  // "T MS" time passes, "D"/"U" the line goes down/up, "X" the client disconnects.
  void step(const std::string& s) {
    const std::string rest = s.size() > 2 ? s.substr(2) : "";
    switch (s[0]) {
      case 'P':
        ask(rest);
        break;
      case 'M':
        stream.send(rest);
        break;
      case 'R':
        engine.received(rest);
        break;
      case 'T':
        clock.advance(std::stoi(rest));
        break;
      case 'D':
        engine.setLineUp(false);
        break;
      case 'U':
        engine.setLineUp(true);
        break;
      case 'X':
        stream.abort();
        session.reset();
        break;
      default:
        FAIL() << s;
    }
  }
};

struct Route {
  const char* name;
  std::vector<std::string> steps;
  std::string line;                 // every byte that went to the projector, in order
  std::string client;               // every byte the maintenance client got
  std::vector<std::string> others;  // what the other askers got
  int counted;                      // the client's commands ended, however
};

TEST(ServeMaintenance, CommandsTakeTheirTurnAndRepliesGoToTheirAskerOnly) {
  const std::vector<Route> routes = {
      {"between two polls",
       {"P CR0", "M C01\r", "R 00\r", "P CR0", "R \x06\r", "R 80\r"},
       "CR0\rC01\rCR0\r",
       "\x06\r",
       {"CR0 00\r", "CR0 80\r"},
       1},
      {"behind a waiting PJLink command, a terminal's CR LF",
       {"P CR0", "P C00", "M C01\r\nCR3\r", "R 00\r", "R \x06\r", "R \x06\r", "R 12345\r"},
       "CR0\rC00\rC01\rCR3\r",
       "\x06\r"
       "12345\r",
       {"CR0 00\r", "C00 \x06\r"},
       2},
      {"a late reply answers nobody",
       {"M C01\r", "T 20000", "R \x06\r", "P CR0", "R 80\r"},
       "C01\rCR0\r",
       "",
       {"CR0 80\r"},
       1},
      {"the line lost mid-exchange",
       {"M C01\rC0B\r", "P CR0", "D", "M C0C\r", "U", "M C00\r", "R \x06\r"},
       "C01\rC00\r",
       "\x06\r",
       {"CR0 -"},
       4},
      {"the client gone mid-exchange",
       {"M C01\rC0B\r", "P CR0", "X", "R \x06\r", "R 80\r"},
       "C01\rCR0\r",
       "",
       {"CR0 80\r"},
       0},
  };
  for (const Route& route : routes) {
    SCOPED_TRACE(route.name);
    Rig rig;
    for (const std::string& s : route.steps) rig.step(s);
    EXPECT_EQ(rig.line, route.line);
    EXPECT_EQ(rig.stream.written, route.client);
    EXPECT_EQ(rig.others, route.others);
    EXPECT_EQ(rig.counted, route.counted);
  }
}

TEST(ServeMaintenance, UnendedAndOverlongCommandsCloseTheClientWithItsReason) {
  struct Case {
    const char* name;
    std::vector<std::string> steps;
    std::string told;
  };
  const std::vector<Case> cases = {
      {"over the bound",
       {"M " + std::string(65, 'A')},
       "maintenance: a command of over 64 bytes without CR; closing\r\n"},
      {"no CR in time",
       {"M C0", "T 9000", "M 1", "T 1001"},
       "maintenance: no CR within 10 s of a command's start; closing\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    for (const std::string& s : c.steps) rig.step(s);
    rig.step("P CR0");
    rig.step("R 80\r");
    EXPECT_EQ(rig.stream.written, c.told);
    EXPECT_EQ(rig.stream.end, FakeStream::End::WhenSent);
    EXPECT_EQ(rig.line, "CR0\r") << "nothing of it reaches the projector";
    EXPECT_EQ(rig.others, std::vector<std::string>{"CR0 80\r"});
    rig.step("T 5000");
    EXPECT_EQ(rig.stream.end, FakeStream::End::Aborted) << "a peer that never closes its side";
    EXPECT_EQ("maintenance: " + rig.closedFor + "; closing\r\n", c.told);
  }
  Rig slow;
  slow.step("M C0");
  slow.step("T 9000");
  slow.step("M 1\rC0");
  slow.step("T 9000");
  EXPECT_EQ(slow.stream.end, FakeStream::End::Open) << "each command has its own time";
  EXPECT_EQ(slow.line, "C01\r");
}

TEST(ServeMaintenance, AFloodWaitsInTheKernelAndOtherAskersKeepTheirTurn) {
  Rig rig;
  std::string flood;
  for (int i = 0; i < 200; ++i) flood += "C0B\r";
  rig.step("M " + flood);
  EXPECT_FALSE(rig.stream.reading) << "reading pauses at the bound";
  EXPECT_EQ(rig.stream.incoming.size(), flood.size() - 512) << "one read taken, no more";
  rig.step("P CR0");
  rig.step("R \x06\r");
  rig.step("R 80\r");
  EXPECT_EQ(rig.line, "C0B\rCR0\rC0B\r") << "the poll came between two of the flood";
  for (int i = 0; i < 199; ++i) rig.step("R \x06\r");
  EXPECT_TRUE(rig.stream.reading);
  EXPECT_EQ(rig.counted, 200);
  EXPECT_EQ(rig.line.size(), flood.size() + 4);
  EXPECT_EQ(rig.others, std::vector<std::string>{"CR0 80\r"});
}

TEST(ServeMaintenance, AClientThatNeverReadsIsDroppedAtTheUnsentBound) {
  Rig rig(MaintenanceLimits{.mostUnsent = 8});
  rig.stream.stalled = true;
  rig.step("M C0B\rC0B\rC0B\rC0B\rC0B\rC0B\r");
  for (int i = 0; i < 5; ++i) rig.step("R \x06\r");
  EXPECT_EQ(rig.stream.end, FakeStream::End::Aborted);
  EXPECT_EQ(rig.closedFor, "over 8 bytes of replies not taken");
  rig.step("P CR0");
  rig.step("R 80\r");
  EXPECT_EQ(rig.line, "C0B\rC0B\rC0B\rC0B\rC0B\rCR0\r") << "the sixth never went out";
  EXPECT_EQ(rig.others, std::vector<std::string>{"CR0 80\r"});
}

TEST(ServeMaintenance, TheKeyIsReadDescribedAndKeptApartFromEveryOtherListener) {
  struct Case {
    std::string text;
    std::optional<ListenAddress> read;
    std::string error;
  };
  const std::string a = "[a]\naddress = /dev/ttyS0\n";
  const std::string b = "[b]\naddress = /dev/ttyS1\npjlink = 4353\n";
  const std::vector<Case> cases = {
      {"", std::nullopt, ""},
      {"maintenance = 4400\n", ListenAddress{"127.0.0.1", 4400}, ""},
      {"maintenance = off\n", std::nullopt, ""},
      {"maintenance = 4352\n", std::nullopt,
       "f:3: maintenance: [a] maintenance listens where [a] does (by default, section on line 1)"},
      {"maintenance = 4353\n" + b, std::nullopt,
       "f:6: pjlink: [b] listens where [a] maintenance does (line 3)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const ConfigResult result = ParseConfig("f", a + c.text);
    EXPECT_EQ(result.error, c.error);
    if (!result.config) continue;
    EXPECT_EQ(result.config->projectors[0].maintenance, c.read);
    const std::string shown = c.read ? ListenText(*c.read) : "off";
    EXPECT_NE(DescribeConfig(*result.config).find("  maintenance = " + shown + "\n"),
              std::string::npos);
  }
}

}  // namespace
}  // namespace mero::serve
