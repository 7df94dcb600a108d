#pragma once

#include <functional>
#include <string>

namespace mero::serve {

// How much a message of the service matters, as syslog(3) and journald rank them, so that an
// operations team can filter (`journalctl -p warning`).
enum class Priority {
  Error = 3,    // something the operator must mend: a file, an address that cannot be listened on
  Warning = 4,  // a projector or a client the service cannot serve as asked
  Notice = 5,   // a change worth seeing: a projector answers again, a reload
  Info = 6,     // the ordinary course: started, listening, a line opened
};

// One message: what it says, and how much that matters.
struct Message {
  Priority priority = Priority::Info;
  std::string text;

  friend bool operator==(const Message&, const Message&) = default;
};

// Where the service's messages go, one line each, without a trailing newline.
using Log = std::function<void(Priority, const std::string&)>;

}  // namespace mero::serve
