#pragma once

#include <QJsonObject>
#include <string>
#include <string_view>

#include "cli/exchange.h"
#include "cli/request.h"

namespace mero::cli {

enum class Result { Decoded, NotDecoded, Acknowledged, NotAcknowledged, NoReply, NoPort };

// The word for a result in the lines of several projectors and in JSON: "decoded", "no-reply"...
std::string_view ResultWord(Result result);

// What one exchange came to.
struct Verdict {
  Result result = Result::NoPort;
  int exitCode = kExitNoPort;
  // The line for this projector: the decoded status (as the panel's status line shows it), or
  // the reply (as its RXD line shows it), or why there is none.
  std::string line;
  // Why the exit code is not 0; empty when it is.
  std::string problem;
  QJsonObject json;
};

// A query's reply is decoded with the panel's decoding on the monitor text of everything
// received; a command's reply is an acknowledgement when it starts with ACK, or, for a status
// key, when it decodes.
Verdict Judge(const Message& message, std::string_view address, const Outcome& outcome);

}  // namespace mero::cli
