#include "link/protocol/commands.h"

#include <algorithm>
#include <array>
#include <vector>

#include "link/protocol/reply_decoding.h"

namespace mero::link {
namespace {

constexpr char kCr = '\r';

// name, code, timing
// clang-format off
constexpr std::array kOneShot = std::to_array<OneShotCommand>({
    {"power-on",           "C00", Timing::Unchanged},
    {"power-off",          "C01", Timing::Unchanged},
    {"input-pc1",          "C05", Timing::Unchanged},
    {"input-pc2",          "C06", Timing::Unchanged},
    {"input-video",        "C07", Timing::Unchanged},
    {"mute-on",            "C0B", Timing::Unchanged},
    {"mute-off",           "C0C", Timing::Unchanged},
    {"no-show-on",         "C0D", Timing::Unchanged},
    {"no-show-off",        "C0E", Timing::Unchanged},
    {"av-size-regular",    "C0F", Timing::Unchanged},
    {"av-size-wide",       "C10", Timing::Unchanged},
    {"menu-off",           "C1D", Timing::Unchanged},
    {"freeze-on",          "C43", Timing::Unchanged},
    {"freeze-off",         "C44", Timing::Unchanged},
    {"image",              "C27", Timing::Unchanged},
    {"p-timer",            "C8A", Timing::Unchanged},
    {"display-clear",      "C1E", Timing::Unchanged},
    {"image-stand",        "C11", Timing::Reply2000},
    {"image-real",         "C12", Timing::Reply2000},
    {"image-cinema",       "C13", Timing::Reply2000},
    {"image-1",            "C14", Timing::Reply2000},
    {"image-2",            "C15", Timing::Reply2000},
    {"image-3",            "C16", Timing::Reply2000},
    {"image-4",            "C17", Timing::Reply2000},
    {"image-blackboard",   "C18", Timing::Reply2000},
    {"image-dynamic",      "C19", Timing::Reply2000},
    {"key-disable-none",   "CF KEYDIS NONE", Timing::Unchanged},
    {"key-disable-rc",     "CF KEYDIS RC", Timing::Unchanged},
    {"key-disable-key",    "CF KEYDIS KEY", Timing::Unchanged},
    {"status",             "CR0", Timing::Unchanged},
    {"lamp-hours",         "CR3", Timing::Unchanged},
    {"temperatures",       "CR6", Timing::Unchanged},
    {"input",              "CR1", Timing::Unchanged},
    {"image-reversal",     "CR4", Timing::Unchanged},
    {"pc1-rgb",            "C50", Timing::Reply5000},
    {"pc1-dvi-digital",    "C52", Timing::Reply5000},
    {"pc1-dvi-hdcp",       "C53", Timing::Reply5000},
    {"pc2-rgb",            "C25", Timing::Reply5000},
    {"pc2-component",      "C24", Timing::Reply5000},
    {"pc2-scart",          "C26", Timing::Reply5000},
    {"pc2-terminal-in",    "CF TERMINAL COMPUTER", Timing::Reply5000},
    {"pc2-terminal-out",   "CF TERMINAL MONITOR", Timing::Reply5000},
    {"video-auto",         "C32", Timing::Reply5000},
    {"video-composite",    "C33", Timing::Reply5000},
    {"video-s-video",      "C34", Timing::Reply5000},
    {"logo-capture",       "CF LOGOCAPTURE START", Timing::Unchanged},
    {"logo-off",           "CF LOGO OFF", Timing::Unchanged},
    {"logo-default",       "CF LOGO DEFAULT", Timing::Unchanged},
    {"logo-user",          "CF LOGO USER", Timing::Unchanged},
    {"fan-max",            "CF FANSPEED MAX", Timing::Unchanged},
    {"fan-normal",         "CF FANSPEED NOR", Timing::Unchanged},
});
// clang-format on

// The decoded queries that are no one-shot command, by name.
struct TypedQuery {
  std::string_view name;
  std::string_view code;
};
constexpr std::array kTypedQueries = std::to_array<TypedQuery>({
    {"lamp-mode", "CR7"},
    {"model", "CR9"},
    {"mute", "CRA"},
    {"pressure", "CR PRESSURE"},
});

std::vector<StatusQuery> CollectStatusQueries() {
  std::vector<StatusQuery> queries;
  const std::span<const std::string_view> decoded = DecodedQueries();
  for (const OneShotCommand& command : kOneShot) {
    if (std::ranges::find(decoded, command.code) != decoded.end()) {
      queries.push_back({command.name, command.code, command.timing, &command});
    }
  }
  for (const TypedQuery& typed : kTypedQueries) {
    queries.push_back({typed.name, typed.code, kTypedTiming, nullptr});
  }
  return queries;
}

}  // namespace

std::optional<TimerIntervals> IntervalsOf(Timing timing) {
  switch (timing) {
    case Timing::Reply2000:
      return TimerIntervals{2000, 2500};
    case Timing::Reply5000:
      return TimerIntervals{5000, 5500};
    case Timing::Unchanged:
      break;
  }
  return std::nullopt;
}

int ReplyWindowOf(Timing timing) { return IntervalsOf(timing).value_or(kStartIntervals).reply; }

Bytes CommandText(std::string_view prefix, std::string_view code) {
  Bytes text;
  text.reserve(prefix.size() + code.size() + 1);
  text += prefix;
  text += code;
  text += kCr;
  return text;
}

std::span<const OneShotCommand> OneShotCommands() { return kOneShot; }

const OneShotCommand* FindOneShotCommand(std::string_view name) {
  auto it = std::ranges::find(kOneShot, name, &OneShotCommand::name);
  return it == kOneShot.end() ? nullptr : &*it;
}

std::span<const StatusQuery> StatusQueries() {
  static const std::vector<StatusQuery> kQueries = CollectStatusQueries();
  return kQueries;
}

const StatusQuery* FindStatusQuery(std::string_view name) {
  const std::span<const StatusQuery> queries = StatusQueries();
  auto it = std::ranges::find(queries, name, &StatusQuery::name);
  return it == queries.end() ? nullptr : &*it;
}

const StatusQuery* FindStatusQueryByCode(std::string_view code) {
  const std::span<const StatusQuery> queries = StatusQueries();
  auto it = std::ranges::find(queries, code, &StatusQuery::code);
  return it == queries.end() ? nullptr : &*it;
}

}  // namespace mero::link
