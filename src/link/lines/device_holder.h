#pragma once

#include <string>

namespace mero::link {

// The other process that keeps the device, as "name, process 1234"; "" when none can be seen.
// The programs that lock it are asked first, as they are its owners: the lock file that serial
// programs leave under /run/lock, then the holder of a flock on it. Only then a process that
// merely has it open, found through /proc (the processes whose descriptors this user may read):
// on a pseudo-terminal that is as likely the program at its other end as its owner.
std::string DeviceHolder(const std::string& canonicalDevice);

}  // namespace mero::link
