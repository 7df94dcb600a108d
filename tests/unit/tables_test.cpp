// The control table against the bindings: what is shown at start, where nested controls sit,
// and that every key of the window does something.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <string_view>

#include "panel/bindings.h"
#include "panel/controls.h"

namespace mero::test {
namespace {

using panel::ControlRow;

TEST(Tables, ControlNamesAreUnique) {
  std::set<std::string_view> seen;
  for (const ControlRow& row : panel::Controls()) {
    EXPECT_TRUE(seen.insert(row.name).second) << row.name;
  }
}

TEST(Tables, OnlyTheSelectionFrameAndTheDataButtonStartHidden) {
  std::set<std::string_view> hidden;
  for (const ControlRow& row : panel::Controls()) {
    if (!row.visibleAtStart) hidden.insert(row.name);
  }
  EXPECT_EQ(hidden, (std::set<std::string_view>{"Frame8", "Command34"}));
}

// A nested control stands at its own offset plus those of all its frames.
TEST(Tables, NestedOptionStandsWhereItsFramesPutIt) {
  int left = 0;
  int top = 0;
  for (const ControlRow* row = panel::FindControl("Option9"); row != nullptr;
       row = panel::FindControl(row->container)) {
    left += row->left;
    top += row->top;
    if (row->container == panel::kOnWindow) break;
  }
  EXPECT_EQ(left, 3720);
  EXPECT_EQ(top, 4320);
}

TEST(Tables, EveryButtonHasExactlyOneAction) {
  // Keys whose click has a handler of its own rather than a table row.
  const std::set<std::string_view> ownHandlers = {
      "Command13", "Command23", "Command16", "Command33", "Command34", "Command95", "Command96"};
  int buttons = 0;
  for (const ControlRow& row : panel::Controls()) {
    if (row.kind != panel::Kind::Button) continue;
    ++buttons;
    const int actions = (panel::FindOneShot(row.name) ? 1 : 0) +
                        (panel::FindRepeat(row.name) ? 1 : 0) +
                        (ownHandlers.contains(row.name) ? 1 : 0);
    EXPECT_EQ(actions, 1) << row.name;
  }
  EXPECT_EQ(buttons, 71);
  // Sixty-six of them send a command: the table keys and A-IMAGE and MENU ON.
  EXPECT_EQ(panel::OneShotBindings().size() + panel::RepeatBindings().size() + 2, 66u);
}

}  // namespace
}  // namespace mero::test
