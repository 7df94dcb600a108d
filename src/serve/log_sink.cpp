#include "serve/log_sink.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>

#include "link/port/pipe_write.h"

namespace mero::serve {
namespace {

constexpr std::string_view kPlainPrefix = "mero-control serve: ";
constexpr unsigned char kFirstPrintable = 0x20;
constexpr unsigned char kDelete = 0x7f;
constexpr unsigned char kContinuationMask = 0xc0;
constexpr unsigned char kContinuation = 0x80;
constexpr int kBase = 10;

bool ReadNumber(std::string_view text, unsigned long long& number) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number, kBase);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

std::size_t Taken(ssize_t written) { return written > 0 ? static_cast<std::size_t>(written) : 0; }

std::size_t WriteHoldingOffSigpipe(int fd, std::string_view bytes) {
  return Taken(link::WriteWithoutSigpipe(fd, bytes));
}

}  // namespace

bool NamesStream(const char* journalStream, int fd) {
  if (journalStream == nullptr) return false;
  const std::string_view value(journalStream);
  const auto colon = value.find(':');
  unsigned long long device = 0;
  unsigned long long inode = 0;
  if (colon == std::string_view::npos || !ReadNumber(value.substr(0, colon), device) ||
      !ReadNumber(value.substr(colon + 1), inode)) {
    return false;
  }
  struct stat info {};
  return ::fstat(fd, &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

std::string LogLineText(Priority priority, std::string_view text, bool journal) {
  std::string line;
  if (journal) {
    line += '<';
    line += std::to_string(static_cast<int>(priority));
    line += '>';
  } else {
    line = kPlainPrefix;
  }
  std::size_t end = text.size();
  const bool cut = end > kLongestLine;
  if (cut) {
    end = kLongestLine;
    // Not within a character of UTF-8.
    while (end > 0 &&
           (static_cast<unsigned char>(text[end]) & kContinuationMask) == kContinuation) {
      --end;
    }
  }
  for (const char c : text.substr(0, end)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= kFirstPrintable && byte != kDelete) {
      line += c;
      continue;
    }
    char escaped[5];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
    line += escaped;
  }
  if (cut) line += "...";
  line += '\n';
  return line;
}

void LogSink::log(Priority priority, const std::string& text) {
  flush();
  add(LogLineText(priority, text, journal_));
  flush();
}

void LogSink::add(std::string line) {
  if (waitingBytes_ + line.size() > kWaitingBound) {
    ++dropped_;
    ++unreported_;
    return;
  }
  waitingBytes_ += line.size();
  waiting_.push_back(std::move(line));
}

void LogSink::flush() {
  while (!waiting_.empty()) {
    const std::string_view front = waiting_.front();
    frontTaken_ += std::min(output_(front.substr(frontTaken_)), front.size() - frontTaken_);
    if (frontTaken_ < front.size()) break;
    waitingBytes_ -= front.size();
    waiting_.pop_front();
    frontTaken_ = 0;
    if (waiting_.empty() && unreported_ > 0) {
      add(LogLineText(Priority::Warning,
                      std::to_string(unreported_) +
                          " lines of this log were dropped: its stream took nothing while " +
                          std::to_string(kWaitingBound / 1024) + " KiB of lines waited",
                      journal_));
      unreported_ = 0;
    }
  }
  if (hasWaiting() != toldWaiting_) {
    toldWaiting_ = hasWaiting();
    if (onWaiting) onWaiting(toldWaiting_);
  }
}

StderrOutput MakeStderrOutput() {
  struct stat info {};
  if (::fstat(STDERR_FILENO, &info) != 0) {
    // Closed: nowhere to tell anything, and nothing to wait for.
    return {[](std::string_view bytes) { return bytes.size(); }, STDERR_FILENO};
  }
  if (S_ISSOCK(info.st_mode)) {
    return {[](std::string_view bytes) {
              return Taken(
                  ::send(STDERR_FILENO, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL));
            },
            STDERR_FILENO};
  }
  // A regular file takes every write at once; a pipe or a terminal gets a description of the
  // service's own that does not block, leaving the one it shares with its parent as it was.
  int fd = STDERR_FILENO;
  if (!S_ISREG(info.st_mode)) {
    const int own = ::open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (own >= 0) fd = own;
  }
  return {[fd](std::string_view bytes) { return WriteHoldingOffSigpipe(fd, bytes); }, fd};
}

}  // namespace mero::serve
