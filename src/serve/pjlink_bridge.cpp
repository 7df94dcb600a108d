#include "serve/pjlink_bridge.h"

#include <algorithm>
#include <memory>
#include <utility>

namespace mero::serve {
namespace {

using link::Input;
using link::PowerState;

constexpr char kAck = 6;
constexpr char kNak = 21;
// PJLink's longest INF2 answer.
constexpr std::size_t kLongestModel = 32;
constexpr int kMostHours = 99999;

struct PowerNumber {
  PowerState state;
  int number;
};
constexpr std::array<PowerNumber, 4> kPowerNumbers{{
    {PowerState::StandBy, 0},
    {PowerState::On, 1},
    {PowerState::CoolingDown, 2},
    {PowerState::WarmingUp, 3},
}};

constexpr std::array<ErrorKind, 6> kErrorKinds{{
    {"fan", nullptr},
    {"lamp", &link::Faults::lamp},
    {"temperature", &link::Faults::temperature},
    {"cover", nullptr},
    {"filter", nullptr},
    {"other", &link::Faults::other},
}};

std::string Power(const Asked& asked) {
  const std::optional<int> number =
      asked.status.power ? PjlinkPowerNumber(asked.status.power->state) : std::nullopt;
  return number ? std::to_string(*number) : "ERR4";
}

// A projector that is cooling down takes no power-on.
std::string RefuseWhileCooling(const Asked& asked) {
  if (!asked.understood[0]) return "ERR4";
  return asked.status.power->state == PowerState::CoolingDown ? "ERR3" : "";
}

// The parameter of the set row of this command whose setting the status shows. A state no set
// row makes ("Input mode 4", mutes the projector does not tell) is not available now.
std::string ReadBackAnswer(const Asked& asked) {
  if (!asked.understood[0]) return "ERR4";
  for (const PjlinkRow& row : PjlinkRows()) {
    if (row.command == asked.row.command && row.readsBack != nullptr &&
        row.readsBack(asked.status)) {
      return std::string(row.parameter);
    }
  }
  return "ERR3";
}

template <Input Wanted>
bool InputIs(const link::ProjectorStatus& status) {
  return status.input == Wanted;
}

template <bool Picture, bool Sound>
bool MutesAre(const link::ProjectorStatus& status) {
  return status.mutes == link::Mutes{Picture, Sound, false, false};
}

std::string Errors(const Asked& asked) {
  return asked.status.power ? ErrorDigits(asked.status.power->faults) : "ERR4";
}

// The projector has one hour counter; in two-lamp mode it stands for each lamp, lit as
// "CR7" says. In one-lamp mode the lamp is lit as the power status says.
std::string Lamps(const Asked& asked) {
  const link::ProjectorStatus& status = asked.status;
  if (!status.lampHours || !status.power) return "ERR4";
  const std::string hours =
      std::to_string(std::clamp<std::int64_t>(*status.lampHours, 0, kMostHours));
  const auto lit = [](bool on) { return on ? " 1" : " 0"; };
  if (status.lampMode && status.lampMode->use == link::LampUse::BothLamps) {
    return hours + lit(status.lampMode->lit[0]) + " " + hours + lit(status.lampMode->lit[1]);
  }
  return hours + lit(status.power->lampLit);
}

std::string Model(const Asked& asked) {
  if (!asked.status.model) return "ERR4";
  return asked.status.model->substr(0, kLongestModel);
}

std::string Name(const Asked& asked) { return asked.identity.name; }
std::string Info(const Asked& asked) { return asked.identity.info; }
std::string Maker(const Asked& /*asked*/) { return "MERO"; }
std::string ClassOne(const Asked& /*asked*/) { return "1"; }

// The inputs a client may choose: those the projector can be set to.
std::string InputList(const Asked& /*asked*/) {
  std::string list;
  for (const PjlinkRow& row : PjlinkRows()) {
    if (row.command != "INPT" || row.parameter == "?") continue;
    if (!list.empty()) list += ' ';
    list += row.parameter;
  }
  return list;
}

constexpr std::array<PjlinkRow, 22> kRows{{
    {"POWR", "?", {"CR0"}, Power, {}},
    {"POWR", "1", {"CR0"}, RefuseWhileCooling, {"C00"}},
    {"POWR", "0", {}, nullptr, {"C01"}},
    {"INPT", "?", {"CR1"}, ReadBackAnswer, {}},
    {"INPT", "11", {}, nullptr, {"C05"}, InputIs<Input::Computer1>},
    {"INPT", "12", {}, nullptr, {"C06"}, InputIs<Input::Computer2>},
    {"INPT", "21", {}, nullptr, {"C07"}, InputIs<Input::Video>},
    {"INST", "?", {}, InputList, {}},
    {"AVMT", "?", {"CRA"}, ReadBackAnswer, {}},
    {"AVMT", "10", {}, nullptr, {"C0E"}},
    {"AVMT", "11", {}, nullptr, {"C0D"}, MutesAre<true, false>},
    {"AVMT", "20", {}, nullptr, {"C0C"}},
    {"AVMT", "21", {}, nullptr, {"C0B"}, MutesAre<false, true>},
    {"AVMT", "30", {}, nullptr, {"C0E", "C0C"}, MutesAre<false, false>},
    {"AVMT", "31", {}, nullptr, {"C0D", "C0B"}, MutesAre<true, true>},
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
  link::ProjectorStatus status;
  std::array<bool, 3> understood{};
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

void Continue(link::Exchanges& link, const PjlinkIdentity& identity,
              const std::shared_ptr<Run>& run) {
  const PjlinkRow& row = *run->row;
  const std::size_t asks = Count(row.asks);
  if (run->step < asks) {
    const std::string_view code = row.asks[run->step];
    link.exchange(code, [&link, &identity, &row, run](const ExchangeResult& result) {
      if (result.kind == ExchangeResult::Kind::Busy) return run->done("ERR3");
      if (result.kind == ExchangeResult::Kind::Reply) {
        run->understood[run->step] =
            link::FoldReply(run->status, row.asks[run->step], result.reply);
      }
      ++run->step;
      Continue(link, identity, run);
    });
    return;
  }
  const bool sends = !row.sends[0].empty();
  if (run->step == asks && row.answer != nullptr) {
    std::string answer = row.answer({row, run->status, run->understood, identity});
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
std::span<const ErrorKind> ErrorKinds() { return kErrorKinds; }

std::optional<int> PjlinkPowerNumber(PowerState state) {
  const auto it = std::ranges::find(kPowerNumbers, state, &PowerNumber::state);
  return it == kPowerNumbers.end() ? std::nullopt : std::optional<int>(it->number);
}

link::Fault FaultOf(const ErrorKind& kind, const link::Faults& faults) {
  return kind.fault == nullptr ? link::Fault::None : faults.*kind.fault;
}

std::string ErrorDigits(const link::Faults& faults) {
  std::string digits;
  for (const ErrorKind& kind : kErrorKinds) {
    digits += static_cast<char>('0' + static_cast<int>(FaultOf(kind, faults)));
  }
  return digits;
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
  Continue(link_, identity_, std::make_shared<Run>(Run{&*row, {}, {}, 0, std::move(done)}));
}

}  // namespace mero::serve
