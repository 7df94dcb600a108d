// What a reload keeps: a projector's line and its PJLink clients stay unless what they hold on
// to changed; a new name and poll interval apply to the running projector.
#include <gtest/gtest.h>

#include <algorithm>

#include "serve/config.h"
#include "serve/pjlink_bridge.h"
#include "serve/poller.h"
#include "virtual_clock.h"

namespace mero::serve {
namespace {

TEST(ServeReload, WhatChangedDecidesWhetherTheConnectionsStay) {
  const ProjectorConfig running{.id = "a",
                                .name = "Hall A",
                                .address = "/dev/ttyUSB0",
                                .password = "secret",
                                .passwordFile = "/etc/mero-control/a.password",
                                .secretLine = 5};
  struct Row {
    std::string changed;
    void (*change)(ProjectorConfig&);
    bool keeps;
  };
  const std::vector<Row> rows = {
      {"nothing", [](ProjectorConfig&) {}, true},
      {"name", [](ProjectorConfig& p) { p.name = "Hall B"; }, true},
      {"the line of its password", [](ProjectorConfig& p) { p.secretLine = 9; }, true},
      {"the password's source, not the password",
       [](ProjectorConfig& p) {
         p.passwordFile.clear();
         p.passwordCredential = "a";
       },
       true},
      {"address", [](ProjectorConfig& p) { p.address = "/dev/ttyUSB1"; }, false},
      {"speed", [](ProjectorConfig& p) { p.speed = 9600; }, false},
      {"pjlink port", [](ProjectorConfig& p) { p.pjlink.port = 4353; }, false},
      {"pjlink address", [](ProjectorConfig& p) { p.pjlink.host = "0.0.0.0"; }, false},
      {"password", [](ProjectorConfig& p) { p.password = "other"; }, false},
      {"section", [](ProjectorConfig& p) { p.id = "b"; }, false},
  };
  for (const Row& row : rows) {
    ProjectorConfig next = running;
    row.change(next);
    EXPECT_EQ(KeepsConnections(running, next), row.keeps) << row.changed;
  }
}

class NoLink : public link::Exchanges {
 public:
  void exchange(std::string_view code, std::function<void(const ExchangeResult&)> done) override {
    asked.emplace_back(code);
    done({ExchangeResult::Kind::NoReply, {}, 0});
  }
  std::vector<std::string> asked;
};

TEST(ServeReload, ARenamedProjectorAnswersNameWithItsNewName) {
  NoLink link;
  PjlinkBridge bridge(link, {"Hall A", "mero-control"});
  std::string answer;
  bridge.rename("Hall B");
  bridge.answer("NAME", "?", [&](std::string text) { answer = std::move(text); });
  EXPECT_EQ(answer, "Hall B");
  EXPECT_TRUE(link.asked.empty());
}

// A new interval starts from the reload: the next poll after the new offset, then each new
// interval, with nothing of the old period left.
TEST(ServeReload, ANewPollIntervalAppliesFromItsOffset) {
  test::VirtualClock clock;
  test::VirtualClock::Timer timer(clock);
  NoLink link;
  ProjectorFigures figures;
  Poller poller(link, timer, figures, [] { return 0.0; });
  const auto polls = [&] { return std::ranges::count(link.asked, std::string(kPollQueries[0])); };
  poller.start(1000, 60000);
  clock.advance(1000);
  ASSERT_EQ(polls(), 1);
  clock.advance(30000);
  poller.start(2000, 10000);
  clock.advance(1999);
  EXPECT_EQ(polls(), 1);
  clock.advance(1);
  EXPECT_EQ(polls(), 2) << "after the new offset";
  clock.advance(10000);
  EXPECT_EQ(polls(), 3) << "a new interval later";
  clock.advance(60000);
  EXPECT_EQ(polls(), 9) << "at the new interval only";
}

}  // namespace
}  // namespace mero::serve
