#include "serve/systemd_state.h"

#include <sys/un.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <limits>

namespace mero::serve {
namespace {

struct Count {
  int ServiceSummary::*field;
  const char* one;
  const char* many;
};

constexpr std::array<Count, 4> kCounts{{
    {&ServiceSummary::projectors, "projector", "projectors"},
    {&ServiceSummary::linesOpen, "line open", "lines open"},
    {&ServiceSummary::answering, "answering", "answering"},
    {&ServiceSummary::controllers, "PJLink client", "PJLink clients"},
}};

std::optional<std::uint64_t> Number(const char* text) {
  if (text == nullptr) return std::nullopt;
  const char* end = text + std::strlen(text);
  std::uint64_t value = 0;
  const auto [at, error] = std::from_chars(text, end, value);
  if (error != std::errc{} || at != end || at == text) return std::nullopt;
  return value;
}

// The status line is one line of the datagram: further lines of a note would be read as
// assignments of their own.
std::string OneLine(std::string_view text, std::size_t most) {
  std::string line(text.substr(0, most));
  std::replace_if(
      line.begin(), line.end(),
      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }, ' ');
  if (text.size() > most) line += "...";
  return line;
}

}  // namespace

std::string StatusLine(const ServiceSummary& summary) {
  std::string line;
  for (const Count& count : kCounts) {
    const int value = summary.*count.field;
    if (!line.empty()) line += ", ";
    line += std::to_string(value) + " " + (value == 1 ? count.one : count.many);
  }
  return line;
}

std::optional<std::chrono::milliseconds> WatchdogPeriod(const char* usec, const char* pid,
                                                        long self) {
  const std::optional<std::uint64_t> interval = Number(usec);
  if (!interval || *interval == 0) return std::nullopt;
  if (pid != nullptr && *pid != '\0') {
    const std::optional<std::uint64_t> owner = Number(pid);
    if (!owner || *owner != static_cast<std::uint64_t>(self)) return std::nullopt;
  }
  // A QTimer counts milliseconds in an int.
  constexpr std::uint64_t kMostMs = std::numeric_limits<int>::max();
  return std::chrono::milliseconds(std::clamp<std::uint64_t>(*interval / 2000, 1, kMostMs));
}

std::optional<std::string> NotifyAddress(const char* variable) {
  if (variable == nullptr) return std::nullopt;
  std::string address(variable);
  // A path needs its terminating NUL in sun_path; an abstract name does not.
  constexpr std::size_t kRoom = sizeof(sockaddr_un::sun_path);
  if (address.size() < 2) return std::nullopt;
  if (address.front() == '/' && address.size() < kRoom) return address;
  if (address.front() == '@' && address.size() <= kRoom) {
    address.front() = '\0';
    return address;
  }
  return std::nullopt;
}

void SystemdState::ready(const ServiceSummary& summary, std::string_view note) {
  phase_ = Phase::Ready;
  summary_ = summary;
  note_ = OneLine(note, kMostNote);
  flush();
}

void SystemdState::reloading(std::uint64_t monotonicUsec) {
  phase_ = Phase::Reloading;
  reloadUsec_ = monotonicUsec;
  flush();
}

void SystemdState::stopping() {
  phase_ = Phase::Stopping;
  flush();
}

void SystemdState::refresh(const ServiceSummary& summary) {
  summary_ = summary;
  flush();
}

std::string SystemdState::status() const {
  std::string line = StatusLine(summary_);
  if (!note_.empty()) line += "; " + note_;
  return line;
}

void SystemdState::flush() {
  std::string message;
  if (phase_ != sentPhase_) {
    switch (phase_) {
      case Phase::Starting:
        break;
      case Phase::Ready:
        message = "READY=1\n";
        break;
      case Phase::Reloading:
        message = "RELOADING=1\nMONOTONIC_USEC=" + std::to_string(reloadUsec_) + "\n";
        break;
      case Phase::Stopping:
        message = "STOPPING=1\n";
        break;
    }
  }
  const std::string line = status();
  const bool newStatus = phase_ != Phase::Stopping && line != sentStatus_;
  if (newStatus) message += "STATUS=" + line + "\n";
  if (message.empty()) return;
  message.pop_back();
  if (!send_(message)) return;
  sentPhase_ = phase_;
  if (newStatus) sentStatus_ = line;
}

}  // namespace mero::serve
