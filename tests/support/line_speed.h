#pragma once

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <string>

namespace mero::test {

// The line speed a terminal device is set to now, read from the device itself; B0 when it
// cannot be read.
inline speed_t LineSpeed(const std::string& device) {
  const int fd = ::open(device.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
  termios settings{};
  const bool read = fd >= 0 && ::tcgetattr(fd, &settings) == 0;
  if (fd >= 0) ::close(fd);
  return read ? ::cfgetospeed(&settings) : B0;
}

}  // namespace mero::test
