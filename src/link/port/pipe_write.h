#pragma once

#include <sys/types.h>

#include <string_view>

namespace mero::link {

// write(2) that a pipe whose reader has gone cannot end the program with: SIGPIPE is held off
// for the write and taken back, so that the write fails with EPIPE instead (errno tells, as
// after write). A SIGPIPE that was pending already is left as it was. Retried on EINTR.
ssize_t WriteWithoutSigpipe(int fd, std::string_view bytes);

}  // namespace mero::link
