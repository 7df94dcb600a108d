// The free command entry: "SEND" and "CLS".

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rig.h"

namespace mero::test {
namespace {

constexpr const char* kSend = "Command95";
constexpr const char* kClear = "Command96";

TEST(CommandEntry, SendWritesTheBoxTextUnchangedWithOneCarriageReturn) {
  const struct {
    const char* name;
    std::string entry;
  } cases[] = {
      {"status query", "CR0"},
      {"lower case", "cr0"},
      {"trailing blank", "CR0 "},
      {"leading and inner blanks", "  CF LOGO  OFF"},
      {"tab", "A\tB"},
      {"carriage return inside", "A\rB"},
      {"carriage return at the end", "CR0\r"},
      {"high bytes", "\xC3\xA9x"},
  };
  for (const auto& c : cases) {
    Rig rig;
    rig.surface.entry = c.entry;
    rig.form.Click(kSend);
    EXPECT_EQ(rig.takeSent(), (std::vector<link::Bytes>{c.entry + "\r"})) << c.name;
    EXPECT_EQ(rig.form.state.lastCommand, c.entry + "\r") << c.name;
    EXPECT_EQ(rig.form.state.typedCommand, c.entry) << c.name;
    EXPECT_EQ(rig.surface.entry, c.entry) << c.name;
    EXPECT_EQ(rig.timer2.interval(), 2000) << c.name;
    EXPECT_EQ(rig.timer4.interval(), 2500) << c.name;
    EXPECT_TRUE(rig.timer2.isEnabled()) << c.name;
    EXPECT_EQ(rig.form.state.replyPending, 1) << c.name;
  }
}

TEST(CommandEntry, TypedStatusQueryGoesOutLikeTheStatusKey) {
  Rig typed;
  typed.surface.entry = "CR0";
  typed.form.Click(kSend);
  Rig key;
  key.form.Click("Command44");
  EXPECT_EQ(typed.takeSent(), key.takeSent());
  EXPECT_EQ(typed.form.state.lastCommand, key.form.state.lastCommand);
  EXPECT_EQ(typed.surface.caption("Label11"), key.surface.caption("Label11"));
  EXPECT_EQ(key.timer2.interval(), 500);
}

TEST(CommandEntry, EmptyBoxSendsALoneCarriageReturn) {
  Rig rig;
  rig.form.Click(kSend);
  EXPECT_EQ(rig.takeSent(), (std::vector<link::Bytes>{"\r"}));
  EXPECT_EQ(rig.form.state.lastCommand, "\r");
  EXPECT_EQ(rig.surface.caption("Label11"), " CR ");
}

TEST(CommandEntry, SendAgainSendsTheSameCommandAgain) {
  Rig rig;
  rig.surface.entry = "C00";
  rig.form.Click(kSend);
  rig.clock.advance(100);
  rig.form.Click(kSend);
  EXPECT_EQ(rig.takeSent(), (std::vector<link::Bytes>{"C00\r", "C00\r"}));
}

TEST(CommandEntry, ClsEmptiesOnlyTheBox) {
  Rig rig;
  rig.surface.entry = "CR3";
  rig.form.Click(kSend);
  rig.takeSent();
  rig.timer2.setInterval(123);
  rig.timer4.setInterval(456);
  rig.surface.setCaption("Label12", "rx");
  rig.surface.setCaption("Label22", "status");

  rig.form.Click(kClear);
  EXPECT_EQ(rig.surface.entry, "");
  EXPECT_EQ(rig.form.state.typedCommand, "CR3");
  EXPECT_EQ(rig.form.state.lastCommand, "CR3\r");
  EXPECT_TRUE(rig.port.writes.empty());
  EXPECT_EQ(rig.timer2.interval(), 123);
  EXPECT_EQ(rig.timer4.interval(), 456);
  EXPECT_EQ(rig.surface.caption("Label11"), " C R 3 CR ");
  EXPECT_EQ(rig.surface.caption("Label12"), "rx");
  EXPECT_EQ(rig.surface.caption("Label22"), "status");

  // The next SEND takes the emptied box.
  rig.form.Click(kSend);
  EXPECT_EQ(rig.takeSent(), (std::vector<link::Bytes>{"\r"}));
  EXPECT_EQ(rig.form.state.typedCommand, "");
}

}  // namespace
}  // namespace mero::test
