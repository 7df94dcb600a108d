#pragma once

#include <optional>
#include <string>

namespace mero::link {

// Takes flock(LOCK_EX | LOCK_NB) on an open device, the lock picocom, tio and other serial
// programs take, so that they keep off a port this program uses and it keeps off theirs. The
// lock lasts until the last descriptor of this open is closed. False only when another open of
// the device (in this process or another) holds it.
bool LockExclusively(int fd);

// The process that holds a flock on the file, read from /proc/locks; a waiter for the lock does
// not count. Our own process counts unless skipOwnProcess: whoever asks why a lock failed needs
// to know it is held here, through another open of the same device, while whoever names another
// program for the user does not. Empty when no process (that this one can see) holds it.
std::optional<int> FlockHolder(const std::string& path, bool skipOwnProcess = false);

}  // namespace mero::link
