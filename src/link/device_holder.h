#pragma once

#include <string>

namespace mero::link {

// Another process that has the device open, as "name, process 1234", found through /proc (the
// processes whose descriptors this user may read) and the lock files that serial programs
// leave under /run/lock; "" when none can be seen.
std::string DeviceHolder(const std::string& canonicalDevice);

}  // namespace mero::link
