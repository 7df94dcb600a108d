#include "link/port/traffic_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include "link/protocol/monitor_text.h"
#include "link/port/port_discovery.h"

namespace mero::link {
namespace {

constexpr char kSeparator = '\t';
constexpr std::string_view kHexDigits = "0123456789ABCDEF";
constexpr int kFileMode = 0644;
constexpr int kMsPerSecond = 1000;
constexpr unsigned kNibbleBits = 4;
constexpr unsigned kLowNibble = 0x0F;
// "2024-01-31T23:59:59" and ".999Z", each with room to spare.
constexpr std::size_t kDateTimeSize = 32;
constexpr std::size_t kFractionSize = 8;

std::string UtcTime(std::chrono::system_clock::time_point at) {
  const auto ms = std::chrono::floor<std::chrono::milliseconds>(at.time_since_epoch()).count();
  const auto seconds = static_cast<std::time_t>(ms / kMsPerSecond);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  std::array<char, kDateTimeSize> text{};
  const std::size_t length = std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%S", &utc);
  std::array<char, kFractionSize> fraction{};
  std::snprintf(fraction.data(), fraction.size(), ".%03dZ", static_cast<int>(ms % kMsPerSecond));
  return std::string(text.data(), length) + fraction.data();
}

}  // namespace

std::string Hex(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 3);
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (!out.empty()) out += ' ';
    out += kHexDigits[byte >> kNibbleBits];
    out += kHexDigits[byte & kLowNibble];
  }
  return out;
}

std::string LogLine(std::chrono::system_clock::time_point at, std::string_view port,
                    Direction direction, std::string_view bytes) {
  std::string line = UtcTime(at);
  line += kSeparator;
  line += ShowPath(std::string(port));
  line += kSeparator;
  line += direction == Direction::Sent ? "TX" : "RX";
  line += kSeparator;
  line += Hex(bytes);
  line += kSeparator;
  line += MonitorText(bytes);
  return line;
}

std::unique_ptr<TrafficLog> TrafficLog::Open(const std::string& path, std::string* error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, kFileMode);
  if (fd < 0) {
    if (error != nullptr) *error = std::strerror(errno);
    return nullptr;
  }
  return std::unique_ptr<TrafficLog>(new TrafficLog(fd));
}

TrafficLog::~TrafficLog() { ::close(fd_); }

void TrafficLog::record(std::string_view port, Direction direction, std::string_view bytes) {
  if (bytes.empty()) return;
  const std::string line = LogLine(std::chrono::system_clock::now(), port, direction, bytes) + '\n';
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t written = ::write(fd_, line.data() + done, line.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    done += static_cast<std::size_t>(written);
  }
}

LoggedPort::LoggedPort(SerialPort& port, std::function<std::string()> portName)
    : port_(port), portName_(std::move(portName)) {
  port_.onEvent = [this](int kind) {
    if (onEvent) onEvent(kind);
  };
  port_.onLost = [this](const PortFailure& failure) {
    if (onLost) onLost(failure);
  };
  port_.onRestored = [this](const std::string& notice) {
    if (onRestored) onRestored(notice);
  };
  port_.onNotice = [this](const std::string& notice) {
    if (onNotice) onNotice(notice);
  };
}

LoggedPort::~LoggedPort() {
  port_.onEvent = nullptr;
  port_.onLost = nullptr;
  port_.onRestored = nullptr;
  port_.onNotice = nullptr;
}

bool LoggedPort::write(const Bytes& text) {
  const bool sent = port_.write(text);
  if (sent && log_ != nullptr) log_->record(portName_(), Direction::Sent, text);
  return sent;
}

Bytes LoggedPort::takeAll() {
  Bytes text = port_.takeAll();
  if (log_ != nullptr) log_->record(portName_(), Direction::Received, text);
  return text;
}

}  // namespace mero::link
