#pragma once

#include <array>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "serve/projector_queue.h"

namespace mero::serve {

// What a PJLink client is told about the projector besides what the projector reports.
struct PjlinkIdentity {
  std::string name;  // NAME ?, from the configuration
  std::string info;  // INFO ?, this service and its version
};

// The replies of the queries a request asks, in the order of its row; missing where the
// exchange did not end with a reply.
using QueryReplies = std::array<std::optional<link::Bytes>, 3>;

// The answer of a query row, or for a command row the refusal that stops its sends ("" lets
// them go out).
using RowAnswer = std::string (*)(const QueryReplies& replies, const PjlinkIdentity& identity);

// One PJLink request this projector answers: the queries asked first, then the answer from
// their replies, then the commands sent, each of which must be acknowledged.
struct PjlinkRow {
  std::string_view command;    // "POWR"
  std::string_view parameter;  // "?" for a query
  std::array<std::string_view, 3> asks;
  RowAnswer answer;  // null: no answer of its own ("OK" once the sends are acknowledged)
  std::array<std::string_view, 2> sends;
};

std::span<const PjlinkRow> PjlinkRows();

// What the power state of a "CR0" reply is in PJLink's terms, from the status line's table.
struct PowerMeaning {
  std::string_view status;  // the decoded status text
  char power;               // POWR ? answer: '0'..'3', or 0 where the projector failed
  char lampError;           // ERST lamp digit
  char temperatureError;    // ERST temperature digit
  char otherError;          // ERST other digit
  bool lampLit;
};
std::span<const PowerMeaning> PowerMeanings();
const PowerMeaning* PowerMeaningOf(const link::Bytes& cr0Reply);
// ERST's six digits for a power status: fan, lamp, temperature, cover, filter, other. The
// projector reports no fan, cover or filter faults.
std::string ErrorDigits(const PowerMeaning& meaning);

// Answers PJLink Class 1 requests from this projector's own commands and queries: nothing
// but the rows above ever reaches it.
class PjlinkBridge {
 public:
  PjlinkBridge(ProjectorLink& link, PjlinkIdentity identity)
      : link_(link), identity_(std::move(identity)) {}

  // The text after '=' for "%1" + command + " " + parameter: a result, "OK", or "ERR1" to
  // "ERR4". `done` may be called before answer() returns.
  void answer(std::string_view command, std::string_view parameter,
              std::function<void(std::string)> done);

 private:
  ProjectorLink& link_;
  PjlinkIdentity identity_;
};

}  // namespace mero::serve
