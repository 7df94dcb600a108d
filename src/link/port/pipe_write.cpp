#include "link/port/pipe_write.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>

namespace mero::link {

ssize_t WriteWithoutSigpipe(int fd, std::string_view bytes) {
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  sigset_t pending;
  sigpending(&pending);
  const bool wasPending = sigismember(&pending, SIGPIPE) == 1;
  sigset_t before;
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &before);
  ssize_t written = -1;
  do {
    written = ::write(fd, bytes.data(), bytes.size());
  } while (written < 0 && errno == EINTR);
  const int writeError = errno;
  if (written < 0 && writeError == EPIPE && !wasPending) {
    const timespec now{};
    sigtimedwait(&pipeSignal, nullptr, &now);
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  errno = writeError;
  return written;
}

}  // namespace mero::link
