#include "link/lines/device_lock.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <fstream>
#include <sstream>
#include <string_view>

namespace mero::link {
namespace {

// A number at the start of text, in the given base; the text advances past it.
template <typename Number>
bool TakeNumber(std::string_view& text, Number& value, int base = 10) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc() || end == text.data()) return false;
  text.remove_prefix(static_cast<std::size_t>(end - text.data()));
  return true;
}

// /proc/locks names the file as "MAJOR:MINOR:INODE", the device numbers of its file system in
// hex and the inode in decimal.
bool IsFile(std::string_view field, const struct stat& file) {
  unsigned int deviceMajor = 0;
  unsigned int deviceMinor = 0;
  ino_t inode = 0;
  if (!TakeNumber(field, deviceMajor, 16) || !field.starts_with(':')) return false;
  field.remove_prefix(1);
  if (!TakeNumber(field, deviceMinor, 16) || !field.starts_with(':')) return false;
  field.remove_prefix(1);
  if (!TakeNumber(field, inode) || !field.empty()) return false;
  return deviceMajor == major(file.st_dev) && deviceMinor == minor(file.st_dev) &&
         inode == file.st_ino;
}

}  // namespace

bool LockExclusively(int fd) {
  int result = 0;
  do {
    result = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  // Where flock is not supported the device counts as locked: the lock file still guards it.
  return result == 0 || errno != EWOULDBLOCK;
}

std::optional<int> FlockHolder(const std::string& path, bool skipOwnProcess) {
  struct stat file {};
  if (::stat(path.c_str(), &file) != 0) return std::nullopt;
  const int self = ::getpid();
  std::ifstream locks("/proc/locks");
  std::string line;
  // "1: FLOCK  ADVISORY  WRITE 28952 00:05:1234 0 EOF". A process waiting for the lock is
  // listed under its holder as "1: -> FLOCK ...", and the kind check passes it over.
  while (std::getline(locks, line)) {
    std::istringstream fields(line);
    std::string number;
    std::string kind;
    std::string mode;
    std::string access;
    int pid = 0;
    std::string where;
    if (!(fields >> number >> kind >> mode >> access >> pid >> where)) continue;
    if (kind != "FLOCK" || !IsFile(where, file)) continue;
    // 0 is a holder this process cannot see: in another pid namespace, or gone.
    if (pid <= 0 || (skipOwnProcess && pid == self)) continue;
    return pid;
  }
  return std::nullopt;
}

}  // namespace mero::link
