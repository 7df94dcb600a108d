// The receive path: commands one after another, each followed by its reply cut into arrivals at
// any points, through the fake port into the form. After every arrival the buffer, the received
// line and the status line must be what the link's monitor text and decoding make of all that
// was received, and a pressure reading must show a number and its unit.
//
// Input: rounds of a head byte (low seven bits: the command; high bit: let every reply window
// close first), then arrivals (Input::arrival) up to a zero byte.

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "link/protocol/commands.h"
#include "link/protocol/monitor_text.h"
#include "link/protocol/reply_decoding.h"
#include "panel/bindings.h"
#include "rig.h"

namespace mero::fuzz {
namespace {

// A command as the operator sends it: a key's click, or typed and sent with "SEND".
struct Send {
  std::string_view key;  // empty: typed
  std::string typed;
};

std::vector<Send> Sends() {
  std::vector<Send> sends;
  for (const link::StatusQuery& query : link::StatusQueries()) {
    if (query.command == nullptr) {
      sends.push_back({{}, std::string(query.code)});
      continue;
    }
    const panel::OneShotBinding* key = panel::FindOneShotKey(query.command->name);
    FUZZ_REQUIRE(key != nullptr);
    sends.push_back({key->control, {}});
  }
  // Replies to these are not decoded: near misses of the queries and plain commands.
  for (const char* typed : {"cr0", "CR0 ", "CR PRESSURE ", "", "C00"}) sends.push_back({{}, typed});
  sends.push_back({"Command17", {}});  // POWER ON
  sends.push_back({"Command64", {}});  // PC1 RGB, a five-second reply window
  return sends;
}

constexpr test::VirtualClock::Ms kPastEveryReplyWindow = 10000;
constexpr std::size_t kRawDecodeBytes = 4096;
const std::string kPressureQuery = link::CommandText("", "CR PRESSURE");

void CheckMonitorText(const std::string& before, const std::string& arrival) {
  const std::string shown = link::MonitorText(arrival);
  for (char c : shown) FUZZ_REQUIRE(c >= ' ' && c <= 'z');
  // What the form relies on to show arrivals a piece at a time.
  FUZZ_REQUIRE(link::MonitorText(before + arrival) == link::MonitorText(before) + shown.substr(1));
}

void CheckPressure(const std::optional<std::string>& status, std::int64_t value,
                   const link::ReplyFigures& figures) {
  FUZZ_REQUIRE(status && IsPressureText(*status));
  const std::string figure = status->substr(0, status->size() - 4);
  constexpr std::size_t kDigitsSurelyInInt64 = 18;
  if (figure == "inf") {
    FUZZ_REQUIRE(value == std::numeric_limits<std::int64_t>::max() && !figures.hPa);
  } else if (figure == "-inf") {
    FUZZ_REQUIRE(value == std::numeric_limits<std::int64_t>::min() && !figures.hPa);
  } else if (figure.size() < kDigitsSurelyInInt64) {
    FUZZ_REQUIRE(std::to_string(value) == figure && figures.hPa == value);
  }
}

// Any bytes as the shown text, for every query: decoding must hold up and a pressure must
// still read as one.
void CheckRawDecoding(const std::string& arrival) {
  const std::string raw = arrival.substr(0, kRawDecodeBytes);
  for (std::string_view code : link::DecodedQueries()) {
    const std::string command = link::CommandText("", code);
    const link::DecodedReply reply = link::DecodeReply(raw, command, "");
    if (command == kPressureQuery) {
      FUZZ_REQUIRE(reply.pressure.has_value());
      CheckPressure(reply.status, *reply.pressure, link::ReadFigures(raw, command, ""));
    }
  }
}

// One arrival through the port into the form, with `received` what the buffer must then hold.
void Arrive(test::Rig& rig, std::string& received, const std::string& arrival) {
  CheckMonitorText(received.substr(0, 64), arrival.substr(0, 64));
  CheckRawDecoding(arrival);
  received += arrival;
  if (received.size() > panel::kRxBufferLimit) {
    received.erase(0, received.size() - panel::kRxBufferLimit);
  }
  const std::string statusBefore = rig.surface.caption("Label22");
  rig.port.feed(arrival);

  const panel::FormState& state = rig.form.state;
  const std::string shown = link::MonitorText(received);
  FUZZ_REQUIRE(state.rxBuffer == received);
  FUZZ_REQUIRE(state.rxShown == shown);
  FUZZ_REQUIRE(rig.surface.caption("Label12") == shown);
  FUZZ_REQUIRE(state.replyPending == 0);
  const std::optional<std::string> status = link::DecodeReply(shown, state.lastCommand, "").status;
  FUZZ_REQUIRE(rig.surface.caption("Label22") == status.value_or(statusBefore));
  if (state.lastCommand == kPressureQuery) {
    CheckPressure(status, state.pressureValue, link::ReadFigures(shown, state.lastCommand, ""));
  }
}

}  // namespace
}  // namespace mero::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace mero;
  static const std::vector<fuzz::Send> kSends = fuzz::Sends();
  fuzz::Input input(data, size);
  test::Rig rig;
  std::string received;  // what the buffer must hold
  while (!input.empty()) {
    const std::uint8_t head = input.byte();
    if ((head & 0x80) != 0) {
      rig.clock.advance(fuzz::kPastEveryReplyWindow);
      FUZZ_REQUIRE(rig.form.state.rxBuffer.empty());
      received.clear();
    }
    const fuzz::Send& send = kSends[(head & 0x7F) % kSends.size()];
    if (send.key.empty()) {
      rig.surface.entry = send.typed;
      rig.form.Click("Command95");  // SEND
    } else {
      rig.form.Click(send.key);
    }
    for (std::uint8_t next = input.byte(); next != 0; next = input.byte()) {
      fuzz::Arrive(rig, received, input.arrival(next));
    }
  }
  return 0;
}
