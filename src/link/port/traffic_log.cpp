#include "link/port/traffic_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include "link/port/pipe_write.h"
#include "link/port/port_discovery.h"
#include "link/protocol/monitor_text.h"

namespace mero::link {
namespace {

constexpr char kSeparator = '\t';
constexpr std::string_view kHexDigits = "0123456789ABCDEF";
constexpr int kFileMode = 0644;
constexpr std::size_t kBytesPerMb = std::size_t{1} << 20;
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

// Lines wait for a file that takes nothing now; any other failure loses them.
bool Stalled(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

// Instead of an error number: the waiting lines had no room for one more.
constexpr int kNoRoomToWait = 0;

std::string LossReason(int error) {
  if (error == kNoRoomToWait) {
    return "the file took nothing while " +
           std::to_string(TrafficLog::kWaitingBound / kBytesPerMb) + " MB of lines waited for it";
  }
  if (error == EPIPE) return "its reader has gone";
  return std::strerror(error);
}

ssize_t WriteSome(int fd, bool pipeLike, std::string_view bytes) {
  if (pipeLike) return WriteWithoutSigpipe(fd, bytes);
  ssize_t written = -1;
  do {
    written = ::write(fd, bytes.data(), bytes.size());
  } while (written < 0 && errno == EINTR);
  return written;
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
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, kFileMode);
  if (fd < 0) {
    const int openError = errno;
    struct stat status {};
    const bool pipe = ::stat(path.c_str(), &status) == 0 && S_ISFIFO(status.st_mode);
    if (error != nullptr) {
      *error = openError == ENXIO && pipe
                   ? "it is a pipe that nothing reads yet; start its reader first"
                   : std::strerror(openError);
    }
    return nullptr;
  }
  struct stat status {};
  const bool pipeLike =
      ::fstat(fd, &status) == 0 && (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode));
  return std::unique_ptr<TrafficLog>(new TrafficLog(fd, ShowPath(path), pipeLike));
}

TrafficLog::~TrafficLog() { ::close(fd_); }

void TrafficLog::record(std::string_view port, Direction direction, std::string_view bytes) {
  if (bytes.empty()) return;
  std::string line = LogLine(std::chrono::system_clock::now(), port, direction, bytes) + '\n';
  flush();
  if (!waiting_.empty()) {
    wait(std::move(line), 0);
    return;
  }
  const ssize_t written = WriteSome(fd_, pipeLike_, line);
  if (written >= 0 && static_cast<std::size_t>(written) == line.size()) return;
  if (written < 0 && !Stalled(errno)) {
    lose(1, errno);
    return;
  }
  wait(std::move(line), written > 0 ? static_cast<std::size_t>(written) : 0);
}

void TrafficLog::flush() {
  if (waiting_.empty()) return;
  while (!waiting_.empty()) {
    const std::string& front = waiting_.front();
    const ssize_t written =
        WriteSome(fd_, pipeLike_, std::string_view(front).substr(frontWritten_));
    if (written < 0 && Stalled(errno)) return;
    if (written < 0) {
      // A file that fails takes none of what waits; lines recorded later are tried afresh.
      const int error = errno;
      const std::size_t dropped = waiting_.size();
      waiting_.clear();
      frontWritten_ = 0;
      waitingBytes_ = 0;
      lose(dropped, error);
      break;
    }
    frontWritten_ += static_cast<std::size_t>(written);
    if (frontWritten_ == front.size()) {
      waitingBytes_ -= front.size();
      waiting_.pop_front();
      frontWritten_ = 0;
    }
  }
  if (onWaiting) onWaiting(false);
}

std::string TrafficLog::missingText() const {
  const std::size_t missing = linesMissing();
  return std::to_string(missing) + (missing == 1 ? " line is" : " lines are") +
         " missing from the log " + shownPath_ + ": " +
         (lossReason_.empty() ? "the file had not taken them by the end" : lossReason_);
}

void TrafficLog::wait(std::string line, std::size_t written) {
  // The rest of a line begun always waits: dropped, it would leave the file a broken line.
  if (written == 0 && waitingBytes_ + line.size() > kWaitingBound) {
    lose(1, kNoRoomToWait);
    return;
  }
  const bool first = waiting_.empty();
  waitingBytes_ += line.size();
  waiting_.push_back(std::move(line));
  if (first) {
    frontWritten_ = written;
    if (onWaiting) onWaiting(true);
  }
}

void TrafficLog::lose(std::size_t lines, int error) {
  const bool first = lost_ == 0;
  lost_ += lines;
  if (!first) return;
  lossReason_ = LossReason(error);
  if (onLoss) {
    onLoss("Lines are missing from the traffic log " + shownPath_ + ": " + lossReason_ +
           ". Traffic goes on; lines are logged again once the file takes them.");
  }
}

}  // namespace mero::link
