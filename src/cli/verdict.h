#pragma once

#include <QJsonObject>
#include <optional>
#include <string>
#include <string_view>

#include "cli/exchange.h"
#include "cli/request.h"

namespace mero::cli {

enum class Result {
  Decoded,
  NotDecoded,
  Acknowledged,
  NotAcknowledged,
  NoReply,
  NoConnection,
  NoPort,
  LineMismatch,
};

// The word for a result in the lines of several projectors and in JSON: "decoded", "no-reply"...
std::string_view ResultWord(Result result);

// The value a reply to the message means, as plain text: the status without the status line's
// blanks ("Stand by"), the figures with their unit ("1234 hours", "650 hPa", "S1 25.5 C, ..."),
// the model as sent. Nothing when the reply does not hold one: no row fits, a figure cannot be
// read, a model is not text, or the message is no status query.
std::optional<std::string> PlainValue(const Message& message, std::string_view reply);

// What one exchange came to.
struct Verdict {
  Result result = Result::NoPort;
  int exitCode = kExitNoPort;
  // What the projector said, plainly: a query's decoded value, "ACK", or the value a status
  // key is answered with. Kept with a line mismatch, since the reply came all the same.
  std::optional<std::string> value;
  // Why the exit code is not 0, without the address; empty when it is 0.
  std::string problem;
  QJsonObject json;

  // The text of this projector's line among several: why the exit code is not 0, or else the
  // value.
  std::string line() const { return problem.empty() ? value.value_or("") : problem; }
};

// A query's reply is decoded into its plain value, and for --json also as the panel's status
// line shows it; a command's reply is an acknowledgement when it starts with ACK, or, for a
// status key, when it holds a value. Every text about a reply quotes at most its start.
Verdict Judge(const Message& message, std::string_view address, const Outcome& outcome);

}  // namespace mero::cli
