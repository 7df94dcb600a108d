#include "projector/pty_server.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <system_error>
#include <utility>

namespace mero::vp {
namespace {

constexpr std::size_t kPathSize = 128;

struct LineSpeed {
  int baud;
  speed_t code;
};

constexpr LineSpeed kLineSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

std::optional<speed_t> SpeedCode(int baud) {
  const auto* found = std::ranges::find(kLineSpeeds, baud, &LineSpeed::baud);
  if (found == std::end(kLineSpeeds)) return std::nullopt;
  return found->code;
}

[[noreturn]] void ThrowErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Points `link` at `target`, replacing whatever is there in one step.
void Repoint(const std::string& link, const std::string& target) {
  const std::string temporary = link + ".new";
  ::unlink(temporary.c_str());
  if (::symlink(target.c_str(), temporary.c_str()) != 0) ThrowErrno("symlink " + temporary);
  if (::rename(temporary.c_str(), link.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    throw std::system_error(error, std::generic_category(), "rename to " + link);
  }
}

std::string LinkTarget(const std::string& link) {
  std::array<char, PATH_MAX> target{};
  const ssize_t size = ::readlink(link.c_str(), target.data(), target.size());
  return size > 0 ? std::string(target.data(), static_cast<std::size_t>(size)) : std::string();
}

std::string LockPathOf(const std::string& link) { return link + ".lock"; }

// The process named in a link's lock file, for telling the user whose the link is.
std::optional<long> LockOwner(int fd) {
  std::array<char, 32> text{};
  const ssize_t size = ::pread(fd, text.data(), text.size(), 0);
  long pid = 0;
  if (size <= 0 || std::from_chars(text.data(), text.data() + size, pid).ec != std::errc() ||
      pid <= 0)
    return std::nullopt;
  return pid;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Takes the lock file of `link`; `leftBehind` tells whether it was there before.
int LockFile(const std::string& lockPath, const std::string& link, bool& leftBehind) {
  for (;;) {
    int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    leftBehind = fd < 0 && errno == EEXIST;
    if (leftBehind) fd = ::open(lockPath.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT) continue;  // its owner removed it in between
      ThrowErrno("lock file " + lockPath);
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      const std::optional<long> owner = LockOwner(fd);
      ::close(fd);
      if (error != EWOULDBLOCK) {
        throw std::system_error(error, std::generic_category(), "lock file " + lockPath);
      }
      throw Refused(link + " is in use by another virtual projector" +
                    (owner ? " (process " + std::to_string(*owner) + ")" : std::string()));
    }
    // An owner removes its lock file while it still holds it, so a lock won on a file that is
    // no longer under the name is worth nothing: take the name's file again.
    struct stat held {};
    struct stat named {};
    if (::fstat(fd, &held) == 0 && ::stat(lockPath.c_str(), &named) == 0 && SameFile(held, named)) {
      return fd;
    }
    ::close(fd);
  }
}

// Why what is at `link` must not be replaced; empty when it may be.
std::string LinkRefusal(const std::string& link, bool leftBehind) {
  struct stat entry {};
  if (::lstat(link.c_str(), &entry) != 0) return {};
  if (!S_ISLNK(entry.st_mode)) return link + " is there and is not a symbolic link";
  struct stat target {};
  if (!leftBehind && ::stat(link.c_str(), &target) == 0) {
    return link + " already leads to " + LinkTarget(link) + ", and no virtual projector made it";
  }
  return {};
}

}  // namespace

bool IsLineSpeed(int baud) { return SpeedCode(baud).has_value(); }

PtyServer::PtyServer(ServerOptions options)
    : options_(std::move(options)), projector_(options_.projector), random_(options_.noiseSeed) {
  std::array<int, 2> pipe{};
  if (::pipe2(pipe.data(), O_CLOEXEC | O_NONBLOCK) != 0) ThrowErrno("pipe2");
  wakeRead_ = pipe[0];
  wakeWrite_ = pipe[1];
  try {
    if (!options_.linkPath.empty()) ClaimLink();
    OpenLine();
  } catch (...) {
    CloseLine();
    ReleaseLink();
    CloseFd(wakeRead_);
    CloseFd(wakeWrite_);
    throw;
  }
  thread_ = std::thread([this] { Run(); });
}

PtyServer::~PtyServer() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  Wake();
  thread_.join();
  CloseLine();
  CloseFd(wakeRead_);
  CloseFd(wakeWrite_);
  ReleaseLink();
}

// The lock file lives as long as the server and is flocked all that time, so the kernel lets
// it go when the server dies however it dies; a lock file found unlocked was left by a server
// that was killed, and its link may be taken over. A link with no lock file beside it was made
// by someone else and is left alone, unless it leads nowhere.
void PtyServer::ClaimLink() {
  const std::string& link = options_.linkPath;
  const std::string lockPath = LockPathOf(link);
  bool leftBehind = false;
  linkLock_ = LockFile(lockPath, link, leftBehind);
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(linkLock_, 0) != 0 ||
      ::pwrite(linkLock_, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    const int error = errno;
    ReleaseLink();
    throw std::system_error(error, std::generic_category(), "lock file " + lockPath);
  }
  if (const std::string refusal = LinkRefusal(link, leftBehind); !refusal.empty()) {
    ReleaseLink();
    throw Refused(refusal);
  }
}

void PtyServer::ReleaseLink() {
  if (linkLock_ < 0) return;
  // Someone who pointed the link elsewhere meanwhile meant to keep it.
  if (!linkedTo_.empty() && LinkTarget(options_.linkPath) == linkedTo_) {
    ::unlink(options_.linkPath.c_str());
  }
  ::unlink(LockPathOf(options_.linkPath).c_str());
  CloseFd(linkLock_);
}

// Only the loop thread, or the constructor and destructor while it does not run, opens and
// closes the line, so the loop may poll and read it without holding the lock.
void PtyServer::OpenLine() {
  if (options_.devicePath.empty()) {
    OpenPseudoTerminal();
  } else {
    OpenDevice();
  }
  if (!options_.linkPath.empty()) {
    try {
      Repoint(options_.linkPath, devicePath_);
      linkedTo_ = devicePath_;
    } catch (...) {
      CloseLine();
      throw;
    }
  }
}

void PtyServer::OpenPseudoTerminal() {
  line_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (line_ < 0) ThrowErrno("posix_openpt");
  std::array<char, kPathSize> name{};
  if (::grantpt(line_) != 0 || ::unlockpt(line_) != 0 ||
      ::ptsname_r(line_, name.data(), name.size()) != 0) {
    const int error = errno;
    CloseFd(line_);
    throw std::system_error(error, std::generic_category(), "pseudo-terminal set-up");
  }
  slave_ = ::open(name.data(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios raw{};
  if (slave_ < 0 || ::tcgetattr(slave_, &raw) != 0) {
    const int error = errno;
    CloseLine();
    throw std::system_error(error, std::generic_category(), std::string("open ") + name.data());
  }
  ::cfmakeraw(&raw);
  // The master must never block the loop; the line does not wait for a slow reader either.
  if (::tcsetattr(slave_, TCSANOW, &raw) != 0 ||
      ::fcntl(line_, F_SETFL, ::fcntl(line_, F_GETFL) | O_NONBLOCK) != 0) {
    const int error = errno;
    CloseLine();
    throw std::system_error(error, std::generic_category(), "raw mode");
  }
  devicePath_ = name.data();
}

void PtyServer::OpenDevice() {
  const std::string& path = options_.devicePath;
  const int baud = options_.baud > 0 ? options_.baud : kDefaultDeviceBaud;
  const std::optional<speed_t> speed = SpeedCode(baud);
  if (!speed)
    throw std::system_error(EINVAL, std::generic_category(), "speed " + std::to_string(baud));
  // Non-blocking for the same reason as the master, and so that opening a modem-control port
  // does not wait for carrier.
  line_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (line_ < 0) ThrowErrno("open " + path);
  // The lock picocom, tio and the panel take: they keep off this device, and it off theirs.
  if (::flock(line_, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    CloseFd(line_);
    throw Refused(path + " is in use by another program");
  }
  termios raw{};
  if (::tcgetattr(line_, &raw) != 0) {
    CloseFd(line_);
    throw Refused(path + " is not a serial line or terminal");
  }
  ::cfmakeraw(&raw);
  // No handshaking of either kind and no modem lines: a projector's port has none of them.
  raw.c_cflag |= CLOCAL | CREAD;
  raw.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSTOPB);
  raw.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (::cfsetispeed(&raw, *speed) != 0 || ::cfsetospeed(&raw, *speed) != 0 ||
      ::tcsetattr(line_, TCSANOW, &raw) != 0) {
    const int error = errno;
    CloseFd(line_);
    throw std::system_error(error, std::generic_category(), "set up " + path);
  }
  // Whatever reached the device before it was served was meant for no one.
  ::tcflush(line_, TCIOFLUSH);
  devicePath_ = path;
}

void PtyServer::CloseLine() {
  CloseFd(line_);
  CloseFd(slave_);
  devicePath_.clear();
  output_.clear();
  queuedBytes_ = 0;
  partial_.clear();
}

}  // namespace mero::vp
