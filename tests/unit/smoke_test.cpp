#include <gtest/gtest.h>

#include "rig.h"

namespace mero::test {
namespace {

TEST(FormSmoke, PowerOnSendsItsBytes) {
  Rig rig;
  rig.form.Click("Command17");
  EXPECT_EQ(rig.takeSent(), (std::vector<link::Bytes>{"C00\r"}));
  EXPECT_EQ(rig.surface.caption("Label11"), " C 0 0 CR ");
}

}  // namespace
}  // namespace mero::test
