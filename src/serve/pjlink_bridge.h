#pragma once

#include <array>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "link/port/exchange_engine.h"
#include "link/protocol/status.h"

namespace mero::serve {

using link::ExchangeResult;

// What a PJLink client is told about the projector besides what the projector reports.
struct PjlinkIdentity {
  std::string name;  // NAME ?, from the configuration
  std::string info;  // INFO ?, this service and its version
};

struct PjlinkRow;

// What a row's answer is worked out from: the status its queries' replies told, and which of
// those replies were understood.
struct Asked {
  const PjlinkRow& row;
  const link::ProjectorStatus& status;
  std::array<bool, 3> understood;
  const PjlinkIdentity& identity;
};

// The answer of a query row, or for a set row the refusal that stops its sends ("" lets them
// go out).
using RowAnswer = std::string (*)(const Asked& asked);
// Whether the status shows what a set row sets: the query of its command answers with the
// parameter of the set row whose setting it shows.
using ReadBack = bool (*)(const link::ProjectorStatus& status);

// One PJLink request this projector answers: the status queries asked first, then the answer
// from what they told, then the commands sent, each of which must be acknowledged.
struct PjlinkRow {
  std::string_view command;    // "POWR"
  std::string_view parameter;  // "?" for a query
  std::array<std::string_view, 3> asks;
  RowAnswer answer;  // null: no answer of its own ("OK" once the sends are acknowledged)
  std::array<std::string_view, 2> sends;
  ReadBack readsBack = nullptr;  // null: the query never answers with this parameter
};

std::span<const PjlinkRow> PjlinkRows();

// The power state as PJLink numbers it (POWR ?); none for a projector that failed.
std::optional<int> PjlinkPowerNumber(link::PowerState state);

// ERST's six kinds of fault in their order; those the projector does not report have no field.
struct ErrorKind {
  std::string_view name;
  link::Fault link::Faults::*fault;
};
std::span<const ErrorKind> ErrorKinds();
link::Fault FaultOf(const ErrorKind& kind, const link::Faults& faults);
// ERST's six digits.
std::string ErrorDigits(const link::Faults& faults);

// Answers PJLink Class 1 requests from this projector's own commands and queries: nothing
// but the rows above ever reaches it.
class PjlinkBridge {
 public:
  PjlinkBridge(link::Exchanges& link, PjlinkIdentity identity)
      : link_(link), identity_(std::move(identity)) {}

  // The text after '=' for "%1" + command + " " + parameter: a result, "OK", or "ERR1" to
  // "ERR4". `done` may be called before answer() returns.
  void answer(std::string_view command, std::string_view parameter,
              std::function<void(std::string)> done);
  // A reload's new name: requests under way answer with it too.
  void rename(std::string name) { identity_.name = std::move(name); }

 private:
  link::Exchanges& link_;
  PjlinkIdentity identity_;
};

}  // namespace mero::serve
