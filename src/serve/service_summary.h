#pragma once

namespace mero::serve {

// What the service serves at a glance, for systemd's status line.
struct ServiceSummary {
  int projectors = 0;
  int linesOpen = 0;
  int answering = 0;    // lines up whose projector answered its last poll in full
  int controllers = 0;  // PJLink clients connected, over all projectors
  bool operator==(const ServiceSummary&) const = default;
};

}  // namespace mero::serve
