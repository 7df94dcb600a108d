#include "link/lines/device_holder.h"

#include <dirent.h>
#include <limits.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <fstream>
#include <memory>
#include <optional>
#include <string_view>

#include "link/lines/device_lock.h"

namespace mero::link {
namespace {

// Where serial programs keep their lock files, "LCK..ttyUSB0" holding the owner's process id.
constexpr std::array kLockFolders = {"/run/lock", "/var/lock", "/tmp", "/var/tmp"};
constexpr std::string_view kDevFolder = "/dev/";

using Folder = std::unique_ptr<DIR, int (*)(DIR*)>;

Folder OpenFolder(const std::string& path) { return {opendir(path.c_str()), &closedir}; }

bool IsNumber(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (std::isdigit(static_cast<unsigned char>(c)) == 0) return false;
  }
  return true;
}

std::string ReadLink(const std::string& path) {
  std::array<char, PATH_MAX> target{};
  const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
  return length > 0 ? std::string(target.data(), static_cast<std::size_t>(length)) : std::string();
}

std::string Describe(const std::string& pid) {
  std::ifstream comm("/proc/" + pid + "/comm");
  std::string name;
  if (!std::getline(comm, name) || name.empty()) return "process " + pid;
  return name + ", process " + pid;
}

bool HasOpen(const std::string& pid, const std::string& device) {
  const std::string fds = "/proc/" + pid + "/fd";
  const Folder folder = OpenFolder(fds);
  if (!folder) return false;
  while (const dirent* entry = readdir(folder.get())) {
    if (IsNumber(entry->d_name) && ReadLink(fds + "/" + entry->d_name) == device) return true;
  }
  return false;
}

std::string FromProc(const std::string& device, const std::string& self) {
  const Folder proc = OpenFolder("/proc");
  if (!proc) return {};
  while (const dirent* entry = readdir(proc.get())) {
    const std::string pid = entry->d_name;
    if (IsNumber(pid) && pid != self && HasOpen(pid, device)) return Describe(pid);
  }
  return {};
}

std::string FromLockFile(const std::string& device, const std::string& self) {
  std::string name = device;
  if (name.starts_with(kDevFolder)) name.erase(0, kDevFolder.size());
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  for (const char* folder : kLockFolders) {
    std::ifstream lock(std::string(folder) + "/LCK.." + name);
    std::string pid;
    if (!(lock >> pid)) continue;
    if (IsNumber(pid) && pid != self && access(("/proc/" + pid).c_str(), F_OK) == 0) {
      return Describe(pid);
    }
  }
  return {};
}

}  // namespace

std::string DeviceHolder(const std::string& canonicalDevice) {
  const std::string self = std::to_string(::getpid());
  std::string holder = FromLockFile(canonicalDevice, self);
  if (holder.empty()) {
    if (const std::optional<int> pid = FlockHolder(canonicalDevice, true)) {
      holder = Describe(std::to_string(*pid));
    }
  }
  if (holder.empty()) holder = FromProc(canonicalDevice, self);
  return holder;
}

}  // namespace mero::link
