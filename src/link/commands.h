#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "link/serial_port.h"

namespace mero::link {

// Reply window (Timer2) and monitor time (Timer4) that a key sets before it sends.
enum class Timing { Unchanged, Reply2000, Reply5000 };

struct TimerIntervals {
  int reply;    // Timer2, ms
  int monitor;  // Timer4, ms
};
std::optional<TimerIntervals> IntervalsOf(Timing timing);

// The intervals before any key has set them.
inline constexpr TimerIntervals kStartIntervals{500, 1000};

// A command typed at the command entry is sent with these intervals.
inline constexpr Timing kTypedTiming = Timing::Reply2000;

// The reply window of a command sent with `timing` right after start-up: what a script that
// sends one command waits for its reply.
int ReplyWindowOf(Timing timing);

// The text that goes on the line for a command code: the prefix, the code and a CR.
Bytes CommandText(std::string_view prefix, std::string_view code);

// A key that sends one fixed command per click. `name` is how scripts call it ("power-on").
struct OneShotBinding {
  std::string_view control;
  std::string_view name;
  std::string_view code;
  Timing timing;
};

std::span<const OneShotBinding> OneShotBindings();
const OneShotBinding* FindOneShot(std::string_view control);
const OneShotBinding* FindOneShotByName(std::string_view name);

// A status query whose reply the decoding reads: sent by a key (whose name it takes), or
// typed at the command entry, which is the only way to send those that have no key.
struct StatusQuery {
  std::string_view name;
  std::string_view code;
  Timing timing;
  const OneShotBinding* key;  // null: typed
};

// The keys' queries in the order of the key table, then the typed ones.
std::span<const StatusQuery> StatusQueries();
const StatusQuery* FindStatusQuery(std::string_view name);

}  // namespace mero::link
