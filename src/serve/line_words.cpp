#include "serve/line_words.h"

#include <array>
#include <cmath>
#include <ctime>

namespace mero::serve {
namespace {

using Kind = link::LineFailure::Kind;

// A device that is away or busy may come back by itself; one the service may not open, or an
// address that cannot be one, waits for the operator.
struct KindPriority {
  Kind kind;
  Priority priority;
};
constexpr std::array kDownPriorities{
    KindPriority{Kind::Absent, Priority::Warning},
    KindPriority{Kind::Busy, Priority::Warning},
    KindPriority{Kind::NoPermission, Priority::Error},
    KindPriority{Kind::Unreachable, Priority::Warning},
    KindPriority{Kind::Invalid, Priority::Error},
    KindPriority{Kind::Other, Priority::Warning},
    KindPriority{Kind::Lost, Priority::Warning},
};

Priority DownPriority(Kind kind) {
  for (const KindPriority& entry : kDownPriorities) {
    if (entry.kind == kind) return entry.priority;
  }
  return Priority::Warning;
}

constexpr const char* kSeeNotes = " (see NOTES in mero-control-serve(1))";

std::string DownText(const std::string& line, const link::LineFailure& failure) {
  const std::string detail = failure.detail.empty() ? "" : ": " + failure.detail;
  switch (failure.kind) {
    case Kind::Absent:
      return line + " is not there; it is opened when the device appears";
    case Kind::Busy:
      return line + " is in use by " +
             (failure.holder.empty() ? "another program" : failure.holder) +
             "; it is tried again until that program lets it go";
    case Kind::NoPermission:
      if (failure.group.empty()) {
        return line + ": the service's user may not open it; it needs read and write access" +
               kSeeNotes;
      }
      return line + ": the service's user may not open it; the device belongs to the group \"" +
             failure.group + "\", which the unit must name in SupplementaryGroups=" + kSeeNotes;
    case Kind::Unreachable:
      return line + " cannot be reached" + detail + "; it is tried again";
    case Kind::Invalid:
      // The line's reason starts with its verb: "cannot be used: ...", "is not a valid ...".
      return line + (failure.detail.empty() ? " cannot be used" : " " + failure.detail);
    case Kind::Lost:
      return line + " was lost" + detail + "; it is reopened when it is back";
    case Kind::Other:
      break;
  }
  return line + " could not be opened" + detail + "; it is tried again";
}

}  // namespace

Message DescribeLineDown(const std::string& address, const link::LineFailure& failure) {
  return {DownPriority(failure.kind), DownText("line " + address, failure)};
}

Message DescribeLineUp(const std::string& address, bool again) {
  if (again) return {Priority::Notice, "line " + address + " is open again"};
  return {Priority::Info, "line " + address + " is open"};
}

Message DescribeLineNotice(const std::string& address, const std::string& notice) {
  return {Priority::Notice, "line " + address + ": " + notice};
}

Message DescribeAnswering(const std::string& address, const AnswerWatch::Change& change) {
  const std::string projector = "the projector on " + address;
  if (change.answers) {
    return {Priority::Notice, projector + " answers again, after " + Duration(change.silentMs) +
                                  " and " + std::to_string(change.unanswered) +
                                  " exchanges without a reply"};
  }
  return {Priority::Warning, projector + " does not answer: no reply to " +
                                 std::to_string(change.unanswered) + " exchanges since " +
                                 UtcTime(change.sinceWallSeconds) +
                                 "; PJLink clients get ERR4 meanwhile"};
}

std::string UtcTime(double wallSeconds) {
  const auto seconds = static_cast<std::time_t>(std::floor(wallSeconds));
  std::tm parts{};
  if (gmtime_r(&seconds, &parts) == nullptr) return "an unknown time";
  std::array<char, 32> text{};
  const std::size_t length =
      std::strftime(text.data(), text.size(), "%Y-%m-%d %H:%M:%S UTC", &parts);
  return {text.data(), length};
}

std::string Duration(double ms) {
  constexpr long kMinute = 60;
  constexpr long kHour = 60 * kMinute;
  const auto seconds = static_cast<long>(std::lround(std::max(ms, 0.0) / 1000.0));
  if (seconds < kMinute) return std::to_string(seconds) + " s";
  if (seconds < kHour) {
    return std::to_string(seconds / kMinute) + " min " + std::to_string(seconds % kMinute) + " s";
  }
  return std::to_string(seconds / kHour) + " h " + std::to_string(seconds % kHour / kMinute) +
         " min";
}

}  // namespace mero::serve
