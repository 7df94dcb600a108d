#include "link/port/network_address.h"

#include <charconv>

namespace mero::link {
namespace {

constexpr std::string_view kRawScheme = "tcp://";
constexpr std::string_view kRfc2217Scheme = "rfc2217://";
constexpr unsigned kMaxPort = 65535;

}  // namespace

bool LooksLikeNetworkAddress(std::string_view text) {
  return text.starts_with(kRawScheme) || text.starts_with(kRfc2217Scheme);
}

std::optional<NetworkAddress> ParseNetworkAddress(std::string_view text) {
  NetworkAddress address;
  if (text.starts_with(kRawScheme)) {
    text.remove_prefix(kRawScheme.size());
  } else if (text.starts_with(kRfc2217Scheme)) {
    address.kind = NetworkAddress::Kind::Rfc2217;
    text.remove_prefix(kRfc2217Scheme.size());
  } else {
    return std::nullopt;
  }
  std::string_view port;
  if (text.starts_with('[')) {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      return std::nullopt;
    }
    address.host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    address.host = text.substr(0, colon);
    port = text.substr(colon + 1);
    // An IPv6 address must be in brackets, so that its colons are not read as the port's.
    if (address.host.find(':') != std::string::npos) return std::nullopt;
  }
  if (address.host.empty() || address.host.find_first_of("/[] ") != std::string::npos) {
    return std::nullopt;
  }
  unsigned number = 0;
  const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
  if (port.empty() || error != std::errc() || end != port.data() + port.size() || number == 0 ||
      number > kMaxPort) {
    return std::nullopt;
  }
  address.port = static_cast<std::uint16_t>(number);
  return address;
}

}  // namespace mero::link
