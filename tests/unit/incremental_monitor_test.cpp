// The received line is built a piece at a time as text arrives; whatever the arrivals, trims
// and clearings, it and the form's kept monitor text are the monitor text of the whole buffer.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>

#include "link/protocol/monitor_text.h"
#include "panel/bindings.h"
#include "rig.h"

namespace mero::test {
namespace {

constexpr std::size_t kLimit = panel::kRxBufferLimit;
// Arrival sizes, from none to more than the buffer keeps.
constexpr std::array<std::size_t, 11> kPieceSizes = {
    0, 1, 1, 2, 3, 17, 500, kLimit - 1, kLimit, kLimit + 1, 2 * kLimit + 3};

enum Step { kArrive, kSendQuery, kReplyWindowCloses, kMonitorClears, kRepeatReleased };
// Arrivals come most often, so that the buffer fills and trims between the clearings.
constexpr std::array<Step, 10> kStepTable = {
    kArrive,        kArrive,        kArrive,    kArrive,
    kArrive,        kArrive,        kSendQuery, kReplyWindowCloses,
    kMonitorClears, kRepeatReleased};

TEST(IncrementalMonitor, ReceivedLineIsAlwaysTheMonitorTextOfTheWholeBuffer) {
  std::mt19937 random(11);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<std::size_t> pickSize(0, kPieceSizes.size() - 1);
  std::uniform_int_distribution<std::size_t> pickStep(0, kStepTable.size() - 1);
  Rig rig;
  const std::string_view repeatKey = panel::RepeatBindings().front().control;
  std::string kept;  // what the buffer must hold
  int arrivals = 0;
  int trims = 0;

  for (int i = 0; i < 400; ++i) {
    switch (kStepTable[pickStep(random)]) {
      case kArrive: {
        std::string piece(kPieceSizes[pickSize(random)], '\0');
        for (char& c : piece) c = static_cast<char>(byte(random));
        kept += piece;
        if (kept.size() > kLimit) {
          kept.erase(0, kept.size() - kLimit);
          ++trims;
        }
        rig.port.feed(piece);
        ++arrivals;
        ASSERT_TRUE(rig.surface.caption("Label12") == link::MonitorText(kept)) << "step " << i;
        break;
      }
      case kSendQuery:
        rig.form.Click("Command44");
        break;
      case kReplyWindowCloses:
        rig.form.Timer2_Timer();
        kept.clear();
        break;
      case kMonitorClears:
        rig.form.Timer4_Timer();
        break;
      case kRepeatReleased:
        rig.form.MouseUp(repeatKey);
        kept.clear();
        break;
    }
    ASSERT_TRUE(rig.form.state.rxBuffer == kept) << "step " << i;
    ASSERT_TRUE(rig.form.state.rxShown == link::MonitorText(kept)) << "step " << i;
  }
  // The table really filled and trimmed the buffer many times over.
  EXPECT_GT(arrivals, 150);
  EXPECT_GT(trims, 20);
}

}  // namespace
}  // namespace mero::test
