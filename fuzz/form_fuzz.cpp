// The form driven by a script of operator actions, time and line events: clicks on keys,
// presses and releases of the repeating keys, typed text and keys, steps of the virtual clock,
// arrivals, and ports going, coming back, refusing or being chosen. After every step the form
// must hold what it holds by design: the kept monitor text is that of the buffer and the
// buffer within its limit; after an arrival the received line shows the buffer and a pressure
// reading a number and its unit; every send is shown at once for what it was (sent, or "NOT
// SENT:" on a closed port); the port button tells whether the port is open.
//
// Input: a first byte with the ports' state at start (bits 0 and 2: COM1, COM2 absent; bits 1
// and 3: refused), then steps: an op byte and the bytes its op reads.

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "fakes.h"
#include "fuzz_input.h"
#include "link/protocol/commands.h"
#include "link/protocol/monitor_text.h"
#include "panel/bindings.h"
#include "panel/form.h"
#include "virtual_clock.h"

namespace mero::fuzz {
namespace {

// A port that notes each write the form attempts, until the window has shown it.
class NotingPort : public test::FakePort {
 public:
  using FakePort::FakePort;
  struct Attempt {
    link::Bytes text;
    bool sent;
  };
  bool write(const link::Bytes& text) override {
    FUZZ_REQUIRE(!attempt);  // the one before was shown
    attempt = Attempt{text, FakePort::write(text)};
    return attempt->sent;
  }
  std::optional<Attempt> attempt;
};

// A window whose sent line must show the attempted write as it went.
class CheckingSurface : public test::FakeSurface {
 public:
  explicit CheckingSurface(NotingPort& port) : port_(port) {}
  void setCaption(std::string_view control, const std::string& text) override {
    if (control == "Label11" && port_.attempt) {
      const std::string shown = link::MonitorText(port_.attempt->text);
      FUZZ_REQUIRE(text ==
                   (port_.attempt->sent ? shown : std::string(panel::kNotSentMark) + shown));
      port_.attempt.reset();
    }
    FakeSurface::setCaption(control, text);
  }

 private:
  NotingPort& port_;
};

struct FormRig {
  test::VirtualClock clock;
  NotingPort port{&clock};
  test::VirtualClock::Timer timer1{clock}, timer2{clock}, timer3{clock}, timer4{clock};
  CheckingSurface surface{port};
  panel::Form1 form{port, {timer1, timer2, timer3, timer4}, surface};
};

constexpr std::array<std::string_view, 10> kNamedClicks = {
    "Option1",   "Option2",   "Option9",   "Option10",  "Command33",
    "Command13", "Command23", "Command95", "Command96", "Command34"};
// Key codes as the window reports them: K (Ctrl+K opens the panel), Return, Enter, Escape, C.
constexpr std::array<int, 5> kKeyCodes = {'K', 0x01000004, 0x01000005, 0x01000000, 'C'};
// Clock steps: the low six bits times 1, 10, 100 or 1000 ms.
constexpr std::array<test::VirtualClock::Ms, 4> kStepUnits = {1, 10, 100, 1000};
const std::string kPressureQuery = link::CommandText("", "CR PRESSURE");

// The steps, by op byte modulo kOps; each reads one more byte (and Type and Arrive the bytes
// that byte counts).
enum class Op {
  Key,      // a one-shot key's click
  Named,    // a click on a port choice, "COM", a cursor menu key, "SEND", "CLS" or "CLOSE"
  Press,    // a repeating key pressed ...
  Release,  // ... and released
  Type,     // the command entry's text
  KeyDown,  // a key on the keyboard, with Shift, Ctrl and Alt
  Logo,     // a double click on the logo
  Step,     // the clock moving on
  Arrive,   // bytes from the projector
  Line,     // the line's own events (LineEvent)
  End,      // "END"
};
constexpr int kOps = static_cast<int>(Op::End) + 1;

template <typename Table>
const auto& Pick(const Table& table, std::uint8_t byte) {
  return table[byte % table.size()];
}

void Toggle(std::set<int>& ports, int number) {
  if (ports.erase(number) == 0) ports.insert(number);
}

// The line's own events: the open port's device going, the watched one coming back, and what
// later opens of COM1 and COM2 find.
void LineEvent(FormRig& rig, std::uint8_t which) {
  switch (which % 6) {
    case 0:
      if (rig.port.isOpen()) rig.port.vanish("the device went away");
      break;
    case 1:
      rig.port.comeBack();
      break;
    default:
      Toggle(which % 6 < 4 ? rig.port.present : rig.port.refused, 1 + which % 2);
  }
}

void CheckAlways(FormRig& rig) {
  const panel::FormState& state = rig.form.state;
  FUZZ_REQUIRE(state.rxBuffer.size() <= panel::kRxBufferLimit);
  FUZZ_REQUIRE(state.rxShown == link::MonitorText(state.rxBuffer));
  FUZZ_REQUIRE(!rig.port.attempt);
  FUZZ_REQUIRE(rig.surface.caption("Command33") ==
               (rig.port.isOpen() ? panel::kPortButtonOpen : panel::kPortButtonClosed));
}

void Arrive(FormRig& rig, const std::string& arrival) {
  const panel::FormState& state = rig.form.state;
  std::string kept = state.rxBuffer + arrival;
  if (kept.size() > panel::kRxBufferLimit) kept.erase(0, kept.size() - panel::kRxBufferLimit);
  rig.port.feed(arrival);
  FUZZ_REQUIRE(state.rxBuffer == kept);
  FUZZ_REQUIRE(rig.surface.caption("Label12") == state.rxShown);
  FUZZ_REQUIRE(state.replyPending == 0);
  if (state.lastCommand == kPressureQuery) {
    FUZZ_REQUIRE(IsPressureText(rig.surface.caption("Label22")));
  }
}

}  // namespace
}  // namespace mero::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace mero;
  using namespace mero::fuzz;
  Input input(data, size);
  FormRig rig;
  const std::uint8_t start = input.byte();
  for (int number : {1, 2}) {
    const int bits = start >> (2 * (number - 1));
    if ((bits & 1) != 0) rig.port.present.erase(number);
    if ((bits & 2) != 0) rig.port.refused.insert(number);
  }
  rig.form.Form_Load();
  CheckAlways(rig);

  while (!input.empty()) {
    const std::uint8_t op = input.byte();
    const std::uint8_t arg = input.byte();
    switch (static_cast<Op>(op % kOps)) {
      case Op::Key:
        rig.form.Click(Pick(panel::OneShotBindings(), arg).control);
        break;
      case Op::Named:
        rig.form.Click(Pick(kNamedClicks, arg));
        break;
      case Op::Press:
        rig.form.MouseDown(Pick(panel::RepeatBindings(), arg).control);
        break;
      case Op::Release:
        rig.form.MouseUp(Pick(panel::RepeatBindings(), arg).control);
        break;
      case Op::Type:
        rig.surface.entry = input.bytes(arg % 32);
        break;
      case Op::KeyDown:
        rig.form.Form_KeyDown(Pick(kKeyCodes, arg), arg >> 5);
        break;
      case Op::Logo:
        rig.form.DoubleClick("Image1");
        break;
      case Op::Step:
        rig.clock.advance((arg & 0x3F) * kStepUnits[arg >> 6]);
        break;
      case Op::Arrive:
        Arrive(rig, input.arrival(arg));
        break;
      case Op::Line:
        LineEvent(rig, arg);
        break;
      case Op::End:
        rig.form.Click("Command16");
        FUZZ_REQUIRE(!rig.port.isOpen() && rig.surface.quitted);
        return 0;  // the window is gone
    }
    CheckAlways(rig);
  }
  return 0;
}
