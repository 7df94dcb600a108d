#include "app/systemd_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace mero::app {
namespace {

// Often enough that `systemctl status` is current, seldom enough to cost nothing.
constexpr std::chrono::seconds kRefresh{2};

std::uint64_t MonotonicUsec() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000U +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000U;
}

}  // namespace

SystemdNotify::SystemdNotify(std::function<serve::ServiceSummary()> summary, serve::Log log)
    : summary_(std::move(summary)),
      log_(std::move(log)),
      state_([this](const std::string& message) { return send(message); }) {
  const char* variable = std::getenv("NOTIFY_SOCKET");
  if (variable == nullptr) return;
  std::optional<std::string> address = serve::NotifyAddress(variable);
  if (!address) {
    log_(serve::Priority::Warning,
         "systemd is not told of the service: NOTIFY_SOCKET is not a path or an abstract name");
    return;
  }
  fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) {
    log_(serve::Priority::Warning,
         std::string("systemd is not told of the service: ") + std::strerror(errno));
    return;
  }
  address_ = std::move(*address);
  connect(&refresh_, &QTimer::timeout, this, [this] { state_.refresh(summary_()); });
  const std::optional<std::chrono::milliseconds> period = serve::WatchdogPeriod(
      std::getenv("WATCHDOG_USEC"), std::getenv("WATCHDOG_PID"), static_cast<long>(::getpid()));
  if (period) {
    watchdog_.setTimerType(Qt::PreciseTimer);
    connect(&watchdog_, &QTimer::timeout, this, [this] { state_.watchdog(); });
    watchdog_.start(*period);
  }
}

SystemdNotify::~SystemdNotify() {
  if (fd_ >= 0) ::close(fd_);
}

void SystemdNotify::ready(const std::string& note) {
  if (fd_ < 0) return;
  state_.ready(summary_(), note);
  refresh_.start(kRefresh);
}

void SystemdNotify::reloading() {
  if (fd_ >= 0) state_.reloading(MonotonicUsec());
}

void SystemdNotify::stopping() {
  if (fd_ < 0) return;
  refresh_.stop();
  state_.stopping();
}

bool SystemdNotify::send(const std::string& message) {
  sockaddr_un to{};
  to.sun_family = AF_UNIX;
  std::memcpy(to.sun_path, address_.data(), address_.size());
  // A path's length counts its NUL, an abstract name's does not.
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address_.size() +
                                             (address_.front() == '/' ? 1 : 0));
  const ssize_t sent = ::sendto(fd_, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&to), length);
  if (sent == static_cast<ssize_t>(message.size())) {
    failing_ = false;
    return true;
  }
  if (!failing_) {
    log_(serve::Priority::Warning,
         std::string("systemd is not told of the service: ") + std::strerror(errno));
  }
  failing_ = true;
  return false;
}

}  // namespace mero::app
