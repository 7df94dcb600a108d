#include "serve/pjlink_bridge.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "link/protocol/commands.h"
#include "link/protocol/monitor_text.h"
#include "link/protocol/reply_decoding.h"
#include "link/protocol/reply_tables.h"

namespace mero::serve {
namespace {

namespace tables = link::reply_tables;

constexpr char kAck = 6;
constexpr char kNak = 21;
// PJLink's longest INF2 answer.
constexpr std::size_t kLongestModel = 32;
constexpr int kMostHours = 99999;

// The status line's text for a reply to `code`, as the panel would show it.
std::optional<std::string> StatusOf(std::string_view code, const link::Bytes& reply) {
  return link::DecodeReply(link::MonitorText(reply), link::CommandText("", code), "").status;
}

template <std::size_t N>
std::string AnswerFromTable(
    std::string_view code, const std::optional<link::Bytes>& reply,
    const std::array<std::pair<std::string_view, std::string_view>, N>& rows) {
  if (!reply) return "ERR4";
  const std::optional<std::string> status = StatusOf(code, *reply);
  if (!status) return "ERR4";
  for (const auto& [text, answer] : rows) {
    if (text == *status) return std::string(answer);
  }
  return "ERR4";
}

// The status "CR0" reports, in PJLink's terms. Cooling down counts as cooling whatever else
// the text says; a temperature warning that recovered is still told as a warning.
constexpr std::array<PowerMeaning, 13> kPowerMeanings{{
    {tables::kPowerStatus[0].text, '1', '0', '0', '0', true},    // Power ON
    {tables::kPowerStatus[1].text, '0', '0', '0', '0', false},   // Stand by
    {tables::kPowerStatus[2].text, '3', '0', '0', '0', true},    // Count down
    {tables::kPowerStatus[3].text, '2', '0', '0', '0', false},   // Cooling down
    {tables::kPowerStatus[4].text, 0, '0', '0', '2', false},     // Power Fail
    {tables::kPowerStatus[5].text, '1', '0', '1', '0', true},    // Temperature Warning
    {tables::kPowerStatus[6].text, '1', '0', '0', '0', true},    // NO Key input
    {tables::kPowerStatus[7].text, '0', '0', '0', '0', false},   // Lamp OFF by PWR Management
    {tables::kPowerStatus[8].text, '2', '0', '1', '0', false},   // Temperature Warning & cooling
    {tables::kPowerStatus[9].text, '2', '0', '0', '0', false},   // Cooling down PWR Management
    {tables::kPowerStatus[10].text, '0', '0', '1', '0', false},  // Temperature Warning recovered
    {tables::kPowerStatus[11].text, '2', '2', '0', '0', false},  // Cooling down (All Lamp FAIL)
    {tables::kPowerStatus[12].text, '2', '2', '0', '0', false},  // Cooling & stand-by (Lamp FAIL)
}};

std::string Power(const QueryReplies& replies, const PjlinkIdentity& /*identity*/) {
  const PowerMeaning* meaning = replies[0] ? PowerMeaningOf(*replies[0]) : nullptr;
  if (meaning == nullptr || meaning->power == 0) return "ERR4";
  return {meaning->power};
}

// A projector that is cooling down takes no power-on.
std::string RefuseWhileCooling(const QueryReplies& replies, const PjlinkIdentity& /*identity*/) {
  if (!replies[0]) return "ERR4";
  const PowerMeaning* meaning = PowerMeaningOf(*replies[0]);
  return meaning != nullptr && meaning->power == '2' ? "ERR3" : "";
}

// "Input mode 4" has no PJLink input: it is told as not available now rather than named.
std::string Input(const QueryReplies& replies, const PjlinkIdentity& /*identity*/) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 4> kRows{{
      {tables::kInput[0].text, "11"},
      {tables::kInput[1].text, "12"},
      {tables::kInput[2].text, "21"},
      {tables::kInput[3].text, "ERR3"},
  }};
  return AnswerFromTable("CR1", replies[0], kRows);
}

// Without a signal, or in stand-by, the projector does not tell its mutes.
std::string Mute(const QueryReplies& replies, const PjlinkIdentity& /*identity*/) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 6> kRows{{
      {tables::kMuteAndSignal[0].text, "30"},
      {tables::kMuteAndSignal[1].text, "11"},
      {tables::kMuteAndSignal[2].text, "21"},
      {tables::kMuteAndSignal[3].text, "31"},
      {tables::kMuteAndSignal[4].text, "ERR3"},
      {tables::kMuteAndSignal[5].text, "ERR3"},
  }};
  return AnswerFromTable("CRA", replies[0], kRows);
}

// Fan, lamp, temperature, cover, filter, other.
std::string Errors(const QueryReplies& replies, const PjlinkIdentity& /*identity*/) {
  const PowerMeaning* meaning = replies[0] ? PowerMeaningOf(*replies[0]) : nullptr;
  if (meaning == nullptr) return "ERR4";
  return ErrorDigits(*meaning);
}

// The projector has one hour counter; in two-lamp mode it stands for each lamp, lit as
// "CR7" says. In one-lamp mode the lamp is lit as the power status says.
std::string Lamps(const QueryReplies& replies, const PjlinkIdentity& /*identity*/) {
  if (!replies[0] || !replies[1]) return "ERR4";
  const std::optional<std::int64_t> hours =
      link::ReadFigures(link::MonitorText(*replies[0]), link::CommandText("", "CR3"), "").hours;
  const PowerMeaning* power = PowerMeaningOf(*replies[1]);
  if (!hours || power == nullptr) return "ERR4";
  const std::string shownHours = std::to_string(std::clamp<std::int64_t>(*hours, 0, kMostHours));
  const std::optional<std::string> mode = replies[2] ? StatusOf("CR7", *replies[2]) : std::nullopt;
  for (std::size_t lit = 0; lit < 4 && mode; ++lit) {
    if (*mode != tables::kLampMode[lit].text) continue;
    std::string pairs = shownHours;
    pairs += (lit & 1U) != 0 ? " 1 " : " 0 ";
    pairs += shownHours;
    pairs += (lit & 2U) != 0 ? " 1" : " 0";
    return pairs;
  }
  return shownHours + (power->lampLit ? " 1" : " 0");
}

// The model as "CR9" gives it, without the blanks around it; only printable ASCII is passed on.
std::string Model(const QueryReplies& replies, const PjlinkIdentity& /*identity*/) {
  if (!replies[0]) return "ERR4";
  std::string model;
  for (const char c : *replies[0]) {
    if (c >= ' ' && c <= '~') model += c;
  }
  const auto first = model.find_first_not_of(' ');
  if (first == std::string::npos) return "ERR4";
  model = model.substr(first, model.find_last_not_of(' ') - first + 1);
  if (model.size() > kLongestModel) model.resize(kLongestModel);
  return model;
}

std::string Name(const QueryReplies& /*replies*/, const PjlinkIdentity& identity) {
  return identity.name;
}
std::string Info(const QueryReplies& /*replies*/, const PjlinkIdentity& identity) {
  return identity.info;
}
std::string Maker(const QueryReplies& /*replies*/, const PjlinkIdentity& /*identity*/) {
  return "MERO";
}
std::string ClassOne(const QueryReplies& /*replies*/, const PjlinkIdentity& /*identity*/) {
  return "1";
}
std::string InputList(const QueryReplies& /*replies*/, const PjlinkIdentity& /*identity*/) {
  return "11 12 21";
}

constexpr std::array<PjlinkRow, 22> kRows{{
    {"POWR", "?", {"CR0"}, Power, {}},
    {"POWR", "1", {"CR0"}, RefuseWhileCooling, {"C00"}},
    {"POWR", "0", {}, nullptr, {"C01"}},
    {"INPT", "?", {"CR1"}, Input, {}},
    {"INPT", "11", {}, nullptr, {"C05"}},
    {"INPT", "12", {}, nullptr, {"C06"}},
    {"INPT", "21", {}, nullptr, {"C07"}},
    {"INST", "?", {}, InputList, {}},
    {"AVMT", "?", {"CRA"}, Mute, {}},
    {"AVMT", "10", {}, nullptr, {"C0E"}},
    {"AVMT", "11", {}, nullptr, {"C0D"}},
    {"AVMT", "20", {}, nullptr, {"C0C"}},
    {"AVMT", "21", {}, nullptr, {"C0B"}},
    {"AVMT", "30", {}, nullptr, {"C0E", "C0C"}},
    {"AVMT", "31", {}, nullptr, {"C0D", "C0B"}},
    {"ERST", "?", {"CR0"}, Errors, {}},
    {"LAMP", "?", {"CR3", "CR0", "CR7"}, Lamps, {}},
    {"NAME", "?", {}, Name, {}},
    {"INF1", "?", {}, Maker, {}},
    {"INF2", "?", {"CR9"}, Model, {}},
    {"INFO", "?", {}, Info, {}},
    {"CLSS", "?", {}, ClassOne, {}},
}};

std::size_t Count(const std::array<std::string_view, 3>& codes) {
  return static_cast<std::size_t>(std::ranges::count_if(codes, [](auto c) { return !c.empty(); }));
}

// One request under way: its queries, then its commands, one exchange at a time.
struct Run {
  const PjlinkRow* row;
  QueryReplies replies;
  std::size_t step = 0;
  std::function<void(std::string)> done;
};

std::string FailureAnswer(const ExchangeResult& result) {
  if (result.kind == ExchangeResult::Kind::Busy) return "ERR3";
  if (result.kind == ExchangeResult::Kind::Reply && !result.reply.empty() &&
      result.reply.front() == kNak) {
    return "ERR3";  // the projector refused it in its present state
  }
  return "ERR4";
}

void Continue(ProjectorLink& link, const PjlinkIdentity& identity,
              const std::shared_ptr<Run>& run) {
  const PjlinkRow& row = *run->row;
  const std::size_t asks = Count(row.asks);
  if (run->step < asks) {
    const std::string_view code = row.asks[run->step];
    link.exchange(code, [&link, &identity, run](const ExchangeResult& result) {
      if (result.kind == ExchangeResult::Kind::Busy) return run->done("ERR3");
      if (result.kind == ExchangeResult::Kind::Reply) run->replies[run->step] = result.reply;
      ++run->step;
      Continue(link, identity, run);
    });
    return;
  }
  const bool sends = !row.sends[0].empty();
  if (run->step == asks && row.answer != nullptr) {
    std::string answer = row.answer(run->replies, identity);
    if (!sends || !answer.empty()) return run->done(std::move(answer));
  }
  const std::size_t sent = run->step - asks;
  if (sent >= row.sends.size() || row.sends[sent].empty()) return run->done("OK");
  link.exchange(row.sends[sent], [&link, &identity, run](const ExchangeResult& result) {
    const bool acknowledged = result.kind == ExchangeResult::Kind::Reply && !result.reply.empty() &&
                              result.reply.front() == kAck;
    if (!acknowledged) return run->done(FailureAnswer(result));
    ++run->step;
    Continue(link, identity, run);
  });
}

}  // namespace

std::span<const PjlinkRow> PjlinkRows() { return kRows; }
std::span<const PowerMeaning> PowerMeanings() { return kPowerMeanings; }

std::string ErrorDigits(const PowerMeaning& meaning) {
  return std::string{'0', meaning.lampError, meaning.temperatureError, '0',
                     '0', meaning.otherError};
}

const PowerMeaning* PowerMeaningOf(const link::Bytes& cr0Reply) {
  const std::optional<std::string> status = StatusOf("CR0", cr0Reply);
  if (!status) return nullptr;
  const auto it = std::ranges::find(kPowerMeanings, *status, &PowerMeaning::status);
  return it == kPowerMeanings.end() ? nullptr : &*it;
}

void PjlinkBridge::answer(std::string_view command, std::string_view parameter,
                          std::function<void(std::string)> done) {
  const auto row = std::ranges::find_if(
      kRows, [&](const PjlinkRow& r) { return r.command == command && r.parameter == parameter; });
  if (row == kRows.end()) {
    const bool known = std::ranges::find(kRows, command, &PjlinkRow::command) != kRows.end();
    done(known ? "ERR2" : "ERR1");
    return;
  }
  Continue(link_, identity_, std::make_shared<Run>(Run{&*row, {}, 0, std::move(done)}));
}

}  // namespace mero::serve
