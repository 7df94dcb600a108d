// mero-virtual-projector: a projector on a pseudo-terminal, for the demo and for trying the
// panel without hardware, or on an existing device, for a test over a real cable. Prints the
// device path and serves until SIGINT or SIGTERM; --count serves several independent ones, a
// path a line.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "projector/command_line.h"
#include "projector/pty_server.h"
#include "version.h"

namespace {

constexpr int kExitUsage = 2;
constexpr mode_t kLogMode = 0644;

// Declared before the servers, so it closes the log after their threads have stopped.
class CloseOnExit {
 public:
  explicit CloseOnExit(int fd) : fd_(fd) {}
  CloseOnExit(const CloseOnExit&) = delete;
  CloseOnExit(CloseOnExit&&) = delete;
  CloseOnExit& operator=(const CloseOnExit&) = delete;
  CloseOnExit& operator=(CloseOnExit&&) = delete;
  ~CloseOnExit() {
    if (fd_ >= 0) ::close(fd_);
  }

 private:
  int fd_;
};

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> arguments(argv + std::min(argc, 1), argv + argc);
  const mero::vp::CommandLine line = mero::vp::ParseCommandLine(arguments);
  switch (line.action) {
    case mero::vp::CommandLine::Action::Error:
      std::cerr << mero::vp::kProgramName << ": " << line.error << "\n";
      return kExitUsage;
    case mero::vp::CommandLine::Action::Help:
      std::cout << mero::vp::UsageText();
      return 0;
    case mero::vp::CommandLine::Action::Version:
      std::cout << mero::vp::kProgramName << " " << mero::kVersion << "\n";
      return 0;
    case mero::vp::CommandLine::Action::Run:
      break;
  }

  // Blocked before the server thread starts, so that only sigwait() below takes them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  // Opened once for all the projectors, so that their lines share one file in arrival order.
  // Non-blocking, so that a FIFO with no reader is refused here rather than hanging, and one
  // that is not drained later never holds up a projector.
  int commandLog = -1;
  if (!line.commandLog.empty()) {
    commandLog = ::open(line.commandLog.c_str(),
                        O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, kLogMode);
    if (commandLog < 0) {
      std::cerr << mero::vp::kProgramName << ": " << line.commandLog << ": " << std::strerror(errno)
                << "\n";
      return 1;
    }
  }
  const CloseOnExit closeLog{commandLog};

  try {
    std::vector<std::unique_ptr<mero::vp::PtyServer>> servers;
    for (int i = 1; i <= line.count; ++i) {
      mero::vp::ServerOptions own = line.server;
      own.commandLogFd = commandLog;
      own.deviceIndex = i;
      if (line.count > 1 && !own.linkPath.empty()) {
        // Appended a piece at a time: GCC 12's Release build misreads "-" + to_string(i).
        own.linkPath += '-';
        own.linkPath += std::to_string(i);
      }
      servers.push_back(std::make_unique<mero::vp::PtyServer>(own));
      std::cout << servers.back()->DevicePath() << '\n';
    }
    std::cout << std::flush;
    int signal = 0;
    sigwait(&stopSignals, &signal);
  } catch (const std::exception& error) {
    // Those already started stop as the vector goes, each taking its own link with it.
    std::cerr << mero::vp::kProgramName << ": " << error.what() << "\n";
    return 1;
  }
  return 0;
}
