#pragma once

#include <string>
#include <string_view>

#include "serve/config.h"

namespace mero::serve {

// Whether the service could listen on both: not when they are one address and port, nor when
// one is the wildcard of the other's family on its port. The service listens on [::] for IPv6
// alone (Qt binds it v6-only), so [::] and 0.0.0.0 share a port.
bool ListenOverlaps(const ListenAddress& a, const ListenAddress& b);
// 0.0.0.0 or [::], however written.
bool IsWildcard(const std::string& host);

// What two spellings of one device have in common: a device path as its links lead, when it
// exists (a /dev/serial/by-id/ link is its /dev/ttyUSB device); a device server's host, in
// lower case, and port, whichever protocol reaches it.
std::string DeviceIdentity(std::string_view address);

}  // namespace mero::serve
