#include "link/port/port_discovery.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string_view>

namespace mero::link {
namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

std::string_view BaseName(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool IsDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

// Takes the run of digits at the front of `text` and gives it without its leading zeros (a
// lone 0 stays).
std::string_view TakeNumber(std::string_view& text) {
  std::size_t end = 0;
  while (end < text.size() && IsDigit(text[end])) ++end;
  std::string_view number = text.substr(0, end);
  text.remove_prefix(end);
  while (number.size() > 1 && number.front() == '0') number.remove_prefix(1);
  return number;
}

// Compares names so that digit runs count as numbers: ttyS2 before ttyS10.
bool NaturalLess(std::string_view a, std::string_view b) {
  while (!a.empty() && !b.empty()) {
    if (IsDigit(a.front()) && IsDigit(b.front())) {
      const std::string_view numA = TakeNumber(a);
      const std::string_view numB = TakeNumber(b);
      if (numA.size() != numB.size()) return numA.size() < numB.size();
      if (numA != numB) return numA < numB;
      continue;
    }
    if (a.front() != b.front()) return a.front() < b.front();
    a.remove_prefix(1);
    b.remove_prefix(1);
  }
  return a.size() < b.size();
}

int Rank(const PortInfo& port) {
  switch (port.kind) {
    case PortInfo::Kind::BuiltIn:
      return 0;
    case PortInfo::Kind::Adapter:
      return port.stableName.empty() ? 2 : 1;
    case PortInfo::Kind::Other:
      return 3;
  }
  return 3;
}

// The name a port is ordered by within its rank.
std::string_view SortName(const PortInfo& port) {
  return Rank(port) == 1 ? std::string_view(port.stableName) : BaseName(port.device);
}

std::string Hex4(std::uint16_t value) {
  char text[5];
  std::snprintf(text, sizeof text, "%04x", value);
  return text;
}

// Length of the UTF-8 sequence starting at text[i], 0 when it is not a valid one.
std::size_t Utf8Length(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  unsigned min = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, min = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  unsigned code = lead & (0x3F >> (length - 1));
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

PortInfo::Kind KindOfDevice(const std::string& device) {
  const std::string_view name = BaseName(device);
  if (StartsWith(name, "ttyS")) return PortInfo::Kind::BuiltIn;
  if (StartsWith(name, "ttyUSB") || StartsWith(name, "ttyACM")) return PortInfo::Kind::Adapter;
  return PortInfo::Kind::Other;
}

std::vector<PortInfo> OrderPorts(std::vector<PortInfo> ports) {
  std::erase_if(ports, [](const PortInfo& port) { return !port.hasHardware; });
  std::stable_sort(ports.begin(), ports.end(), [](const PortInfo& a, const PortInfo& b) {
    if (Rank(a) != Rank(b)) return Rank(a) < Rank(b);
    return NaturalLess(SortName(a), SortName(b));
  });
  return ports;
}

ComDevices MapPorts(const std::vector<PortInfo>& ordered, const std::optional<std::string>& com1,
                    const std::optional<std::string>& com2) {
  const auto named = [&](const PortInfo& port) {
    for (const std::optional<std::string>& path : {com1, com2}) {
      if (path && (*path == port.device || (!port.stableName.empty() && *path == port.stableName)))
        return true;
    }
    return false;
  };
  auto next = ordered.begin();
  const auto take = [&](const std::optional<std::string>& path, const char* fallback) {
    if (path) {
      for (const PortInfo& port : ordered) {
        if (*path == port.device || *path == port.stableName) {
          return ComDevices::Device{*path, port.stableName, false};
        }
      }
      return ComDevices::Device{*path, "", false};
    }
    while (next != ordered.end() && named(*next)) ++next;
    if (next == ordered.end()) return ComDevices::Device{fallback, "", true};
    const PortInfo& port = *next++;
    return ComDevices::Device{port.device, port.stableName, false};
  };
  ComDevices devices;
  devices.com1 = take(com1, kFallbackCom1);
  devices.com2 = take(com2, kFallbackCom2);
  return devices;
}

std::string DescribePort(const PortInfo& port, const std::string& com) {
  std::string line = ShowPath(port.device);
  if (!com.empty()) line += "  " + com;
  if (!port.stableName.empty()) line += "  " + ShowPath(port.stableName);
  if (!port.description.empty()) line += "  \"" + port.description + "\"";
  if (port.vendorId && port.productId) {
    line += "  usb " + Hex4(*port.vendorId) + ":" + Hex4(*port.productId);
  }
  if (!port.serialNumber.empty()) line += "  serial " + port.serialNumber;
  return line;
}

std::string ShowPath(const std::string& path) {
  std::string shown;
  for (std::size_t i = 0; i < path.size();) {
    const auto byte = static_cast<unsigned char>(path[i]);
    const std::size_t length = Utf8Length(path, i);
    if (length == 0 || byte < 0x20 || byte == 0x7F || byte == '\\') {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      shown += escaped;
      ++i;
      continue;
    }
    shown.append(path, i, length);
    i += length;
  }
  return shown;
}

}  // namespace mero::link
