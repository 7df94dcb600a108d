#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "link/protocol/bytes.h"

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

// A command sent as it stands, by the name scripts and the panel's keys call it ("power-on").
struct OneShotCommand {
  std::string_view name;
  std::string_view code;
  Timing timing;
};

std::span<const OneShotCommand> OneShotCommands();
const OneShotCommand* FindOneShotCommand(std::string_view name);

// A status query whose reply the decoding reads: one of the one-shot commands, or typed at the
// command entry, which is the only way to send those that are not.
struct StatusQuery {
  std::string_view name;
  std::string_view code;
  Timing timing;
  const OneShotCommand* command;  // null: typed
};

// The one-shot commands' queries in the order of their table, then the typed ones.
std::span<const StatusQuery> StatusQueries();
const StatusQuery* FindStatusQuery(std::string_view name);
// The query that sends `code` ("CR0"), if any.
const StatusQuery* FindStatusQueryByCode(std::string_view code);

}  // namespace mero::link
