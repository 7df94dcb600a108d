#pragma once

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <array>
#include <climits>
#include <string>

namespace mero::test {

// A named pipe of its own, with a reader that reads only when told to: a log's reader that has
// stopped. Without a reader, none is open.
struct StalledPipe {
  QTemporaryDir dir;
  std::string path = dir.filePath(QStringLiteral("log")).toStdString();
  int reader = -1;

  explicit StalledPipe(bool withReader = true) {
    ::mkfifo(path.c_str(), 0600);
    if (withReader) reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  }
  ~StalledPipe() { ::close(reader); }
  StalledPipe(const StalledPipe&) = delete;
  StalledPipe& operator=(const StalledPipe&) = delete;

  // To its last byte, with 'x'.
  void fill() const {
    const int writer = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    for (std::size_t size : {std::size_t{PIPE_BUF}, std::size_t{1}}) {
      while (::write(writer, std::string(size, 'x').data(), size) > 0) {
      }
    }
    ::close(writer);
  }
  std::string readAll() const {
    std::string text;
    std::array<char, PIPE_BUF> buffer{};
    for (ssize_t got; (got = ::read(reader, buffer.data(), buffer.size())) > 0;) {
      text.append(buffer.data(), static_cast<std::size_t>(got));
    }
    return text;
  }
  bool hasUnread() const {
    int unread = 0;
    return ::ioctl(reader, FIONREAD, &unread) == 0 && unread > 0;
  }
};

}  // namespace mero::test
