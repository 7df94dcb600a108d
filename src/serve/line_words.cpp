#include "serve/line_words.h"

namespace mero::serve {

std::string DescribeLineDown(const std::string& address, const link::LineFailure& failure) {
  using Kind = link::LineFailure::Kind;
  const std::string detail = failure.detail.empty() ? "" : ": " + failure.detail;
  switch (failure.kind) {
    case Kind::Absent:
      return "line " + address + " is not there; it is opened when the device appears";
    case Kind::Busy:
      return "line " + address + " is in use by " +
             (failure.holder.empty() ? "another program" : failure.holder) +
             "; it is tried again until that program lets it go";
    case Kind::NoPermission:
      return "line " + address + ": no permission to open it" +
             (failure.group.empty()
                  ? std::string("; the service's user needs read and write access")
                  : "; give the service the device's group \"" + failure.group +
                        "\" (SupplementaryGroups= in its unit)");
    case Kind::Unreachable:
      return "line " + address + " cannot be reached" + detail + "; it is tried again";
    case Kind::Invalid:
      return "line " + address + " cannot be used" + detail;
    case Kind::Lost:
      return "line " + address + " was lost" + detail + "; it is reopened when it is back";
    case Kind::Other:
      break;
  }
  return "line " + address + " could not be opened" + detail + "; it is tried again";
}

}  // namespace mero::serve
