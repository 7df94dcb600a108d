#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "projector/pty_server.h"

// The serving thread and what passes over the line while it runs: commands in, replies and
// faults out at the emulated line speed, and the records tests read back.

namespace mero::vp {
namespace {

constexpr std::size_t kReadSize = 4096;
// A projector's input buffer is small; text that runs on without a CR is thrown away.
constexpr std::size_t kMaxCommandBytes = 256;
// Output waiting for its time or for the emulated line; more than this is dropped, as noise
// faster than the line speed would otherwise pile up without end.
constexpr std::size_t kMaxQueuedBytes = std::size_t{64} * 1024;
constexpr int kBitsPerByte = 10;  // start bit, 8 data bits, stop bit
// Back-off after an unexpected hang-up on the master, so that it cannot make the loop spin.
constexpr std::chrono::milliseconds kHangUpBackOff{20};
constexpr int kByteValues = 256;
constexpr std::chrono::milliseconds kMinNoisePeriod{1};
// How often a served device that went away is looked for again: soon enough for an adapter
// plugged back in, rare enough to cost nothing while it stays out.
constexpr std::chrono::milliseconds kReopenEvery{1000};

// Reads whatever waits on a non-blocking descriptor and drops it.
void Drain(int fd, std::span<char> buffer) {
  while (::read(fd, buffer.data(), buffer.size()) > 0) {
  }
}

// A wait as ppoll takes it.
timespec ToTimespec(Clock::duration wait) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
  timespec time{};
  time.tv_sec = seconds.count();
  time.tv_nsec = std::chrono::nanoseconds(wait - seconds).count();
  return time;
}

template <typename Record>
void Keep(std::deque<Record>& records, Record record, std::size_t limit) {
  records.push_back(std::move(record));
  while (records.size() > limit) records.pop_front();
}

}  // namespace

std::string CommandLogLine(std::int64_t unixMs, int device, std::string_view command) {
  constexpr std::string_view kHex = "0123456789ABCDEF";
  constexpr unsigned char kSpace = 0x20;
  constexpr unsigned char kDelete = 0x7F;
  constexpr unsigned kNibble = 4;
  constexpr unsigned kLowNibble = 0xF;
  std::string line = std::to_string(unixMs) + '\t' + std::to_string(device) + '\t';
  for (const char c : command) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < kSpace || byte == kDelete || c == '\\') {
      line += "\\x";
      line += kHex[byte >> kNibble];
      line += kHex[byte & kLowNibble];
    } else {
      line += c;
    }
  }
  line += '\n';
  return line;
}

Ms PtyServer::NowMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_).count();
}

void PtyServer::Wake() const {
  const char byte = 0;
  // A full pipe already holds a wake-up, so a failed write loses nothing.
  [[maybe_unused]] const ssize_t written = ::write(wakeWrite_, &byte, 1);
}

void PtyServer::RunInLoop(std::function<void()> task) {
  std::unique_lock lock(mutex_);
  tasks_.push_back(std::move(task));
  const std::uint64_t id = ++tasksPosted_;
  Wake();
  changed_.wait(lock, [&] { return tasksDone_ >= id; });
}

void PtyServer::Run() {
  std::array<char, kReadSize> buffer{};
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (!tasks_.empty()) {
      for (auto& task : std::exchange(tasks_, {})) {
        task();
        ++tasksDone_;
      }
      changed_.notify_all();
      continue;
    }
    const Clock::time_point now = Clock::now();
    ReopenDeviceWhenDue(now);
    if (noiseCount_ > 0 && now >= nextNoise_) {
      QueueNoise(noiseCount_, now);
      nextNoise_ = now + noisePeriod_;
    }
    WriteDue(now);

    const bool watchLine = line_ >= 0 && now >= hupUntil_;
    std::array<pollfd, 2> fds{{{wakeRead_, POLLIN, 0}, {line_, POLLIN, 0}}};
    timespec timeout{};
    const timespec* timeoutPointer = nullptr;
    if (const Clock::time_point wake = NextWake(now); wake != Clock::time_point::max()) {
      timeout = ToTimespec(std::max<Clock::duration>(wake - now, Clock::duration::zero()));
      timeoutPointer = &timeout;
    }
    lock.unlock();
    const nfds_t count = watchLine ? 2 : 1;
    const bool ready = ::ppoll(fds.data(), count, timeoutPointer, nullptr) > 0;
    const Clock::time_point at = Clock::now();
    if (ready && (fds[0].revents & POLLIN) != 0) Drain(wakeRead_, buffer);
    ssize_t got = 0;
    if (ready && watchLine && (fds[1].revents & POLLIN) != 0) {
      got = ::read(fds[1].fd, buffer.data(), buffer.size());
    }
    lock.lock();
    if (got > 0) {
      OnBytes(buffer.data(), static_cast<std::size_t>(got), at);
    } else if (ready && watchLine && (fds[1].revents & (POLLHUP | POLLERR)) != 0) {
      OnHangUp(at);
    }
  }
}

void PtyServer::OnHangUp(Clock::time_point at) {
  if (options_.devicePath.empty()) {
    hupUntil_ = at + kHangUpBackOff;
  } else {
    // The device itself is gone; waiting on it would only hear the same hang-up again.
    CloseLine();
    reopenAt_ = at + kReopenEvery;
  }
}

bool PtyServer::AwaitsDevice() const {
  return line_ < 0 && !options_.devicePath.empty() && !heldDown_;
}

void PtyServer::ReopenDeviceWhenDue(Clock::time_point now) {
  if (!AwaitsDevice() || now < reopenAt_) return;
  try {
    OpenLine();
  } catch (const std::exception&) {
    reopenAt_ = now + kReopenEvery;
  }
}

Clock::time_point PtyServer::NextWake(Clock::time_point now) const {
  Clock::time_point next = Clock::time_point::max();
  if (!output_.empty()) {
    next = output_.begin()->first;
    if (options_.baud > 0) next = std::max(next, lineFreeAt_);
  }
  if (noiseCount_ > 0) next = std::min(next, nextNoise_);
  if (line_ >= 0 && hupUntil_ > now) next = std::min(next, hupUntil_);
  if (AwaitsDevice()) next = std::min(next, reopenAt_);
  return next;
}

void PtyServer::WriteDue(Clock::time_point now) {
  // Whatever the line cannot take at once is lost, as on a line without
  // handshaking whose far end does not read.
  while (line_ >= 0 && !output_.empty()) {
    auto first = output_.begin();
    std::string& bytes = first->second;
    if (first->first > now) return;
    if (options_.baud > 0) {
      // Paced from when the byte was due, not from when the loop woke, so wake-up latency
      // does not stretch the line time.
      const Clock::time_point begin = std::max(lineFreeAt_, first->first);
      if (begin > now) return;
      [[maybe_unused]] const ssize_t written = ::write(line_, bytes.data(), 1);
      lineFreeAt_ = begin + std::chrono::nanoseconds(std::nano::den * kBitsPerByte / options_.baud);
      bytes.erase(0, 1);
      --queuedBytes_;
    } else {
      [[maybe_unused]] const ssize_t written = ::write(line_, bytes.data(), bytes.size());
      queuedBytes_ -= bytes.size();
      bytes.clear();
    }
    if (bytes.empty()) output_.erase(first);
  }
}

void PtyServer::OnBytes(const char* data, std::size_t size, Clock::time_point at) {
  Keep(chunks_, {at, std::string(data, size)}, options_.maxRecords);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == kCr) {
      OnCommand(at);
    } else if (partial_.size() >= kMaxCommandBytes) {
      partial_.clear();
    } else {
      partial_ += data[i];
    }
  }
}

void PtyServer::OnCommand(Clock::time_point at) {
  ReceivedCommand record{at, std::exchange(partial_, {}), {}, dropAll_ || dropNext_ > 0};
  if (options_.commandLogFd >= 0) {
    const auto unixMs = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch() - (Clock::now() - at));
    const std::string line = CommandLogLine(unixMs.count(), options_.deviceIndex, record.command);
    // The log is opened non-blocking: a pipe nobody drains loses lines, the projector none.
    [[maybe_unused]] const ssize_t written =
        ::write(options_.commandLogFd, line.data(), line.size());
  }
  record.reply = projector_.Handle(record.command, NowMs());
  if (!dropAll_ && dropNext_ > 0) --dropNext_;
  if (!record.replyDropped) {
    Clock::time_point due = std::max(at + options_.replyDelay, repliesFreeAt_);
    const std::size_t piece = pieceBytes_ > 0 ? pieceBytes_ : record.reply.size();
    for (std::size_t from = 0; from < record.reply.size(); from += piece) {
      if (from > 0) due += pieceGap_;
      QueueOutput(due, record.reply.substr(from, piece));
    }
    repliesFreeAt_ = due;
  }
  Keep(commands_, std::move(record), options_.maxRecords);
  ++commandCount_;
  changed_.notify_all();
}

void PtyServer::QueueOutput(Clock::time_point due, std::string bytes) {
  if (line_ < 0 || queuedBytes_ + bytes.size() > kMaxQueuedBytes) return;
  queuedBytes_ += bytes.size();
  output_.emplace(due, std::move(bytes));
}

void PtyServer::QueueNoise(std::size_t count, Clock::time_point due) {
  std::uniform_int_distribution<int> byte(0, kByteValues - 1);
  std::string noise(count, '\0');
  for (char& c : noise) c = static_cast<char>(byte(random_));
  QueueOutput(due, std::move(noise));
}

std::string PtyServer::DevicePath() const {
  std::lock_guard lock(mutex_);
  return devicePath_;
}

std::vector<ReceivedChunk> PtyServer::Chunks() const {
  std::lock_guard lock(mutex_);
  return {chunks_.begin(), chunks_.end()};
}

std::vector<ReceivedCommand> PtyServer::Commands() const {
  std::lock_guard lock(mutex_);
  return {commands_.begin(), commands_.end()};
}

std::uint64_t PtyServer::CommandCount() const {
  std::lock_guard lock(mutex_);
  return commandCount_;
}

void PtyServer::ClearRecords() {
  std::lock_guard lock(mutex_);
  chunks_.clear();
  commands_.clear();
}

bool PtyServer::WaitForCommands(std::uint64_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return commandCount_ >= count; });
}

void PtyServer::WithProjector(const std::function<void(Projector&, Ms now)>& action) {
  std::lock_guard lock(mutex_);
  action(projector_, NowMs());
}

void PtyServer::SetReplyDelay(std::chrono::milliseconds delay) {
  std::lock_guard lock(mutex_);
  options_.replyDelay = delay;
}

void PtyServer::SetBaud(int baud) {
  std::lock_guard lock(mutex_);
  options_.baud = std::max(baud, 0);
}

void PtyServer::DropNextReply() {
  std::lock_guard lock(mutex_);
  ++dropNext_;
}

void PtyServer::DropAllReplies(bool drop) {
  std::lock_guard lock(mutex_);
  dropAll_ = drop;
}

void PtyServer::SplitReplies(std::size_t pieceBytes, std::chrono::milliseconds gap) {
  std::lock_guard lock(mutex_);
  pieceBytes_ = pieceBytes;
  pieceGap_ = gap;
}

void PtyServer::SendNoise(std::size_t count) {
  std::lock_guard lock(mutex_);
  QueueNoise(count, Clock::now());
  Wake();
}

void PtyServer::StartNoise(std::size_t count, std::chrono::milliseconds period) {
  std::lock_guard lock(mutex_);
  noiseCount_ = count;
  noisePeriod_ = std::max(period, kMinNoisePeriod);
  nextNoise_ = Clock::now();
  Wake();
}

void PtyServer::StopNoise() {
  std::lock_guard lock(mutex_);
  noiseCount_ = 0;
}

void PtyServer::SendRaw(std::string bytes) {
  std::lock_guard lock(mutex_);
  QueueOutput(Clock::now(), std::move(bytes));
  Wake();
}

void PtyServer::HangUp() {
  RunInLoop([this] {
    CloseLine();
    heldDown_ = true;
  });
}

bool PtyServer::ComeBack() {
  bool open = false;
  RunInLoop([&] {
    heldDown_ = false;
    if (line_ < 0) {
      try {
        OpenLine();
      } catch (const std::exception&) {
        return;
      }
    }
    open = true;
  });
  return open;
}

}  // namespace mero::vp
