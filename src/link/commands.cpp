#include "link/commands.h"

#include <algorithm>
#include <array>
#include <vector>

#include "link/reply_decoding.h"

namespace mero::link {
namespace {

constexpr char kCr = '\r';

// control, name, code, timing
// clang-format off
constexpr std::array kOneShot = std::to_array<OneShotBinding>({
    {"Command17", "power-on",            "C00", Timing::Unchanged},
    {"Command18", "power-off",           "C01", Timing::Unchanged},
    {"Command27", "input-pc1",           "C05", Timing::Unchanged},
    {"Command28", "input-pc2",           "C06", Timing::Unchanged},
    {"Command29", "input-video",         "C07", Timing::Unchanged},
    {"Command19", "mute-on",             "C0B", Timing::Unchanged},
    {"Command20", "mute-off",            "C0C", Timing::Unchanged},
    {"Command21", "no-show-on",          "C0D", Timing::Unchanged},
    {"Command22", "no-show-off",         "C0E", Timing::Unchanged},
    {"Command31", "av-size-regular",     "C0F", Timing::Unchanged},
    {"Command32", "av-size-wide",        "C10", Timing::Unchanged},
    {"Command24", "menu-off",            "C1D", Timing::Unchanged},
    {"Command25", "freeze-on",           "C43", Timing::Unchanged},
    {"Command26", "freeze-off",          "C44", Timing::Unchanged},
    {"Command30", "image",               "C27", Timing::Unchanged},
    {"Command14", "p-timer",             "C8A", Timing::Unchanged},
    {"Command3",  "display-clear",       "C1E", Timing::Unchanged},
    {"Command4",  "image-stand",         "C11", Timing::Reply2000},
    {"Command10", "image-real",          "C12", Timing::Reply2000},
    {"Command11", "image-cinema",        "C13", Timing::Reply2000},
    {"Command39", "image-1",             "C14", Timing::Reply2000},
    {"Command40", "image-2",             "C15", Timing::Reply2000},
    {"Command41", "image-3",             "C16", Timing::Reply2000},
    {"Command42", "image-4",             "C17", Timing::Reply2000},
    {"Command12", "image-blackboard",    "C18", Timing::Reply2000},
    {"Command36", "image-dynamic",       "C19", Timing::Reply2000},
    {"Command56", "key-disable-none",    "CF KEYDIS NONE", Timing::Unchanged},
    {"Command57", "key-disable-rc",      "CF KEYDIS RC", Timing::Unchanged},
    {"Command58", "key-disable-key",     "CF KEYDIS KEY", Timing::Unchanged},
    {"Command44", "status",              "CR0", Timing::Unchanged},
    {"Command46", "lamp-hours",          "CR3", Timing::Unchanged},
    {"Command54", "temperatures",        "CR6", Timing::Unchanged},
    {"Command45", "input",               "CR1", Timing::Unchanged},
    {"Command47", "image-reversal",      "CR4", Timing::Unchanged},
    {"Command64", "pc1-rgb",             "C50", Timing::Reply5000},
    {"Command65", "pc1-dvi-digital",     "C52", Timing::Reply5000},
    {"Command66", "pc1-dvi-hdcp",        "C53", Timing::Reply5000},
    {"Command72", "pc2-rgb",             "C25", Timing::Reply5000},
    {"Command74", "pc2-component",       "C24", Timing::Reply5000},
    {"Command73", "pc2-scart",           "C26", Timing::Reply5000},
    {"Command53", "pc2-terminal-in",     "CF TERMINAL COMPUTER", Timing::Reply5000},
    {"Command76", "pc2-terminal-out",    "CF TERMINAL MONITOR", Timing::Reply5000},
    {"Command81", "video-auto",          "C32", Timing::Reply5000},
    {"Command82", "video-composite",     "C33", Timing::Reply5000},
    {"Command69", "video-s-video",       "C34", Timing::Reply5000},
    {"Command60", "logo-capture",        "CF LOGOCAPTURE START", Timing::Unchanged},
    {"Command61", "logo-off",            "CF LOGO OFF", Timing::Unchanged},
    {"Command63", "logo-default",        "CF LOGO DEFAULT", Timing::Unchanged},
    {"Command67", "logo-user",           "CF LOGO USER", Timing::Unchanged},
    {"Command97", "fan-max",             "CF FANSPEED MAX", Timing::Unchanged},
    {"Command98", "fan-normal",          "CF FANSPEED NOR", Timing::Unchanged},
});
// clang-format on

// The decoded queries that no key sends, by name.
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
  for (const OneShotBinding& key : kOneShot) {
    if (std::ranges::find(decoded, key.code) != decoded.end()) {
      queries.push_back({key.name, key.code, key.timing, &key});
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

std::span<const OneShotBinding> OneShotBindings() { return kOneShot; }

const OneShotBinding* FindOneShot(std::string_view control) {
  auto it = std::ranges::find(kOneShot, control, &OneShotBinding::control);
  return it == kOneShot.end() ? nullptr : &*it;
}

const OneShotBinding* FindOneShotByName(std::string_view name) {
  auto it = std::ranges::find(kOneShot, name, &OneShotBinding::name);
  return it == kOneShot.end() ? nullptr : &*it;
}

std::span<const StatusQuery> StatusQueries() {
  static const std::vector<StatusQuery> queries = CollectStatusQueries();
  return queries;
}

const StatusQuery* FindStatusQuery(std::string_view name) {
  const std::span<const StatusQuery> queries = StatusQueries();
  auto it = std::ranges::find(queries, name, &StatusQuery::name);
  return it == queries.end() ? nullptr : &*it;
}

}  // namespace mero::link
