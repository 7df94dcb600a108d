// What the service tells systemd: its status line, its watchdog period, the notification
// socket's address, and which datagrams go for which change.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serve/systemd_state.h"

namespace mero::serve {
namespace {

using std::chrono::milliseconds;

TEST(ServeSystemd, StatusLineCountsInWords) {
  struct Row {
    ServiceSummary summary;
    std::string line;
  };
  const std::vector<Row> rows{
      {{3, 3, 2, 4}, "3 projectors, 3 lines open, 2 answering, 4 PJLink clients"},
      {{1, 1, 1, 1}, "1 projector, 1 line open, 1 answering, 1 PJLink client"},
      {{2, 0, 0, 0}, "2 projectors, 0 lines open, 0 answering, 0 PJLink clients"},
      {{256, 255, 17, 16384}, "256 projectors, 255 lines open, 17 answering, 16384 PJLink clients"},
  };
  for (const Row& row : rows) EXPECT_EQ(StatusLine(row.summary), row.line);
}

TEST(ServeSystemd, WatchdogPeriodIsHalfTheIntervalForThisProcess) {
  constexpr long kSelf = 4242;
  struct Row {
    const char* usec;
    const char* pid;
    std::optional<milliseconds> period;
  };
  const std::vector<Row> rows{
      {"30000000", nullptr, milliseconds(15000)},
      {"400000", "4242", milliseconds(200)},
      {"400000", "4243", std::nullopt},  // the watchdog is another process's
      {"400000", "42x", std::nullopt},
      {nullptr, nullptr, std::nullopt},
      {"0", nullptr, std::nullopt},
      {"-400000", nullptr, std::nullopt},
      {"400000 ", nullptr, std::nullopt},
      {"1", nullptr, milliseconds(1)},  // never a timer of 0, which would spin
      {"99999999999999999", nullptr, milliseconds(2147483647)},
      {"999999999999999999999", nullptr, std::nullopt},  // beyond 64 bits
  };
  for (const Row& row : rows) {
    EXPECT_EQ(WatchdogPeriod(row.usec, row.pid, kSelf), row.period)
        << (row.usec ? row.usec : "unset") << " / " << (row.pid ? row.pid : "unset");
  }
}

TEST(ServeSystemd, NotifyAddressIsAPathOrAnAbstractName) {
  const std::string longest(107, '/');
  struct Row {
    std::optional<std::string> variable;
    std::optional<std::string> address;
  };
  const std::vector<Row> rows{
      {"/run/systemd/notify", "/run/systemd/notify"},
      {"@/org/freedesktop/systemd1/notify/42",
       std::string("\0/org/freedesktop/systemd1/notify/42", 36)},
      {longest, longest},
      {longest + "/", std::nullopt},  // no room for its NUL
      {"@" + longest, std::string(1, '\0') + longest},
      {"@/" + longest, std::nullopt},
      {"vsock:2:1234", std::nullopt},
      {"@", std::nullopt},
      {"", std::nullopt},
      {std::nullopt, std::nullopt},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(NotifyAddress(row.variable ? row.variable->c_str() : nullptr), row.address)
        << row.variable.value_or("unset");
  }
}

// The datagrams a SystemdState sends, with sends refused while `full`.
struct Manager {
  std::vector<std::string> received;
  bool full = false;
  SystemdState state{[this](const std::string& message) {
    if (full) return false;
    received.push_back(message);
    return true;
  }};
};

TEST(ServeSystemd, EachChangeGoesOnceAndTheSameStatusNotAgain) {
  Manager manager;
  const ServiceSummary two{2, 2, 0, 0};
  manager.state.ready(two);
  manager.state.refresh(two);
  manager.state.refresh({2, 2, 1, 0});
  manager.state.refresh({2, 2, 1, 0});
  manager.state.reloading(1234567);
  manager.state.ready({2, 2, 1, 0});
  EXPECT_TRUE(manager.state.watchdog());
  manager.state.stopping();
  manager.state.refresh({0, 0, 0, 0});
  const std::vector<std::string> expected{
      "READY=1\nSTATUS=2 projectors, 2 lines open, 0 answering, 0 PJLink clients",
      "STATUS=2 projectors, 2 lines open, 1 answering, 0 PJLink clients",
      "RELOADING=1\nMONOTONIC_USEC=1234567",
      "READY=1",
      "WATCHDOG=1",
      "STOPPING=1",
  };
  EXPECT_EQ(manager.received, expected);
}

TEST(ServeSystemd, ANoteStaysOnOneBoundedLineUntilTheNextReady) {
  Manager manager;
  const ServiceSummary one{1, 1, 1, 0};
  manager.state.ready(one);
  manager.state.reloading(1);
  const std::string note = "not reloaded: f:3: x\nMAINPID=1\r\x7f" + std::string(400, 'y');
  manager.state.ready(one, note);
  manager.state.refresh({1, 1, 1, 1});
  manager.state.reloading(2);
  manager.state.ready(one);
  const std::string shown =
      "; not reloaded: f:3: x MAINPID=1  " + std::string(SystemdState::kMostNote - 32, 'y') + "...";
  const std::vector<std::string> expected{
      "READY=1\nSTATUS=1 projector, 1 line open, 1 answering, 0 PJLink clients",
      "RELOADING=1\nMONOTONIC_USEC=1",
      "READY=1\nSTATUS=1 projector, 1 line open, 1 answering, 0 PJLink clients" + shown,
      "STATUS=1 projector, 1 line open, 1 answering, 1 PJLink client" + shown,
      "RELOADING=1\nMONOTONIC_USEC=2",
      "READY=1\nSTATUS=1 projector, 1 line open, 1 answering, 0 PJLink clients",
  };
  EXPECT_EQ(manager.received, expected);
}

TEST(ServeSystemd, WhatCouldNotBeSentGoesWithTheNextRefresh) {
  Manager manager;
  manager.full = true;
  manager.state.ready({1, 0, 0, 0});
  manager.state.refresh({1, 1, 0, 0});
  EXPECT_FALSE(manager.state.watchdog());
  EXPECT_TRUE(manager.received.empty());
  manager.full = false;
  manager.state.refresh({1, 1, 0, 0});
  manager.state.refresh({1, 1, 0, 0});
  // A reload whose RELOADING=1 was lost ends ready, and the manager is told nothing it does
  // not need.
  manager.full = true;
  manager.state.reloading(5);
  manager.full = false;
  manager.state.ready({1, 1, 0, 0});
  const std::vector<std::string> expected{
      "READY=1\nSTATUS=1 projector, 1 line open, 0 answering, 0 PJLink clients",
  };
  EXPECT_EQ(manager.received, expected);
}

}  // namespace
}  // namespace mero::serve
