#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace mero::link {

// A serial line behind a device server on the network: "tcp://HOST:PORT" carries the bytes
// as they are, "rfc2217://HOST:PORT" through telnet with the COM-PORT option, which also sets
// the server's line. HOST is a name, an IPv4 address or an IPv6 address in brackets.
struct NetworkAddress {
  enum class Kind { RawTcp, Rfc2217 };
  Kind kind = Kind::RawTcp;
  std::string host;  // without brackets
  std::uint16_t port = 0;
};

// True when the text names a network address at all (by its scheme), valid or not.
bool LooksLikeNetworkAddress(std::string_view text);
// The address, or nothing when the text is not a valid one.
std::optional<NetworkAddress> ParseNetworkAddress(std::string_view text);

}  // namespace mero::link
