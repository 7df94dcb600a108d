#include "serve/config_overlap.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <optional>

#include "link/port/network_address.h"

namespace mero::serve {
namespace {

struct Binary {
  int family = AF_UNSPEC;
  std::array<unsigned char, 16> bytes{};
  friend bool operator==(const Binary&, const Binary&) = default;
};

// One address however it is written: "::1" and "0:0::1" are the same.
std::optional<Binary> BinaryOf(const std::string& host) {
  Binary binary;
  for (const int family : {AF_INET, AF_INET6}) {
    if (inet_pton(family, host.c_str(), binary.bytes.data()) == 1) {
      binary.family = family;
      return binary;
    }
  }
  return std::nullopt;
}

bool AllZero(const Binary& address) {
  const std::size_t size = address.family == AF_INET ? 4 : 16;
  return std::all_of(address.bytes.begin(), address.bytes.begin() + static_cast<long>(size),
                     [](unsigned char byte) { return byte == 0; });
}

}  // namespace

bool ListenOverlaps(const ListenAddress& a, const ListenAddress& b) {
  if (a.port != b.port) return false;
  const std::optional<Binary> first = BinaryOf(a.host);
  const std::optional<Binary> second = BinaryOf(b.host);
  if (!first || !second) return a.host == b.host;
  if (first->family != second->family) return false;
  return *first == *second || AllZero(*first) || AllZero(*second);
}

bool IsWildcard(const std::string& host) {
  const std::optional<Binary> binary = BinaryOf(host);
  return binary && AllZero(*binary);
}

std::string DeviceIdentity(std::string_view address) {
  if (link::LooksLikeNetworkAddress(address)) {
    const std::optional<link::NetworkAddress> server = link::ParseNetworkAddress(address);
    if (!server) return std::string(address);
    std::string host = server->host;
    if (const std::optional<Binary> binary = BinaryOf(host)) {
      std::array<char, INET6_ADDRSTRLEN> text{};
      host = inet_ntop(binary->family, binary->bytes.data(), text.data(), text.size());
    }
    std::ranges::transform(host, host.begin(), [](char c) {
      return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    });
    return "network " + host + " " + std::to_string(server->port);
  }
  std::error_code error;
  const std::filesystem::path resolved = std::filesystem::canonical(address, error);
  return error ? std::string(address) : resolved.string();
}

}  // namespace mero::serve
