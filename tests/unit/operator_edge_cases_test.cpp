// Edge cases an operator meets on the monitor and status
// lines: a release with nothing received, a reply after a second click, a typed query.

#include <gtest/gtest.h>

#include <string>

#include "rig.h"

namespace mero::test {
namespace {

// A release blanks both monitor lines at once, also when nothing was received.
TEST(OperatorEdgeCases, ReleaseBlanksBothMonitorLinesAtOnceWithNothingReceived) {
  const struct {
    const char* control;
    const char* shown;
    int heldFor;  // past the reply time-out, before the monitor timer
  } keys[] = {{"Command6", " C 3 F CR ", 220}, {"Command5", " C 3 C CR ", 650}};
  for (const auto& key : keys) {
    Rig rig;
    rig.form.MouseDown(key.control);
    rig.clock.advance(key.heldFor);
    ASSERT_EQ(rig.surface.caption("Label11"), key.shown) << key.control;
    ASSERT_EQ(rig.surface.caption("Label12"), " X X X X") << key.control;
    rig.form.MouseUp(key.control);
    EXPECT_EQ(rig.surface.caption("Label11"), "") << key.control;
    EXPECT_EQ(rig.surface.caption("Label12"), "") << key.control;
  }
}

// A reply that arrives after a second click is read against the second command.
TEST(OperatorEdgeCases, AReplyAfterASecondClickIsReadAgainstTheSecondCommand) {
  Rig rig;
  rig.form.Click("Command44");  // STATUS, "CR0"
  rig.form.Click("Command46");  // L-TIME, "CR3"
  rig.port.feed("00\r");
  EXPECT_EQ(rig.surface.caption("Label12"), " 0 0 CR ");
  EXPECT_EQ(rig.surface.caption("Label22"), " 0 0 CR  Hour Use");  // not " Power ON"

  Rig notAQuery;
  notAQuery.form.Click("Command44");
  notAQuery.form.Click("Command17");  // POWER ON, "C00"
  notAQuery.port.feed("00\r");
  EXPECT_EQ(notAQuery.surface.caption("Label12"), " 0 0 CR ");
  EXPECT_EQ(notAQuery.surface.caption("Label22"), "");
}

// A typed query is decoded as its key's is, and only when typed exactly.
TEST(OperatorEdgeCases, ATypedQueryIsDecodedAsTheStatusKeyUnlessCaseOrABlankDiffer) {
  Rig key;
  key.form.Click("Command44");
  key.port.feed("00\r");
  ASSERT_EQ(key.surface.caption("Label22"), " Power ON");
  for (const std::string entry : {"CR0", "cr0", "CR0 "}) {
    Rig typed;
    typed.surface.entry = entry;
    typed.form.Click("Command95");
    typed.port.feed("00\r");
    EXPECT_EQ(typed.surface.caption("Label12"), key.surface.caption("Label12")) << entry;
    EXPECT_EQ(typed.surface.caption("Label22"), entry == "CR0" ? " Power ON" : "") << entry;
  }
}

}  // namespace
}  // namespace mero::test
