// virtual-projector: a projector on a pseudo-terminal, for the demo and for trying the panel
// without hardware. Prints the device path and serves until SIGINT or SIGTERM.

#include <charconv>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string_view>
#include <system_error>

#include "virtual_projector/pty_server.h"

namespace {

constexpr int kExitUsage = 2;

constexpr std::string_view kUsage =
    "Usage: virtual-projector [options]\n"
    "Answers like a projector on a pseudo-terminal and prints its device path.\n"
    "  --link PATH        keep a symbolic link to the device at PATH\n"
    "  --warm-up MS       count-down time after power on (default 5000)\n"
    "  --cool-down MS     cooling time after power off (default 5000)\n"
    "  --reply-delay MS   wait before each reply (default 0)\n"
    "  --baud N           send replies at the speed of an N-baud line (default: at once)\n"
    "  --help             show this text\n";

std::optional<int> Number(std::string_view text) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
  return value;
}

// Fills `options` from the command line; false (after a message) when it cannot.
bool Parse(int argc, char** argv, mero::vp::ServerOptions& options, bool& help) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view name = argv[i];
    if (name == "--help") {
      help = true;
      return true;
    }
    if (i + 1 >= argc) {
      std::cerr << "virtual-projector: " << name << " needs a value or is unknown\n" << kUsage;
      return false;
    }
    const std::string_view value = argv[++i];
    if (name == "--link") {
      options.linkPath = value;
      continue;
    }
    const std::optional<int> number = Number(value);
    if (!number) {
      std::cerr << "virtual-projector: " << name << ": not a number: " << value << "\n";
      return false;
    }
    if (name == "--warm-up") {
      options.projector.warmUpMs = *number;
    } else if (name == "--cool-down") {
      options.projector.coolDownMs = *number;
    } else if (name == "--reply-delay") {
      options.replyDelay = std::chrono::milliseconds(*number);
    } else if (name == "--baud") {
      options.baud = *number;
    } else {
      std::cerr << "virtual-projector: unknown option " << name << "\n" << kUsage;
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  mero::vp::ServerOptions options;
  bool help = false;
  if (!Parse(argc, argv, options, help)) return kExitUsage;
  if (help) {
    std::cout << kUsage;
    return 0;
  }

  // Blocked before the server thread starts, so that only sigwait() below takes them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  try {
    mero::vp::PtyServer server(options);
    std::cout << server.DevicePath() << std::endl;
    int signal = 0;
    sigwait(&stopSignals, &signal);
  } catch (const std::system_error& error) {
    std::cerr << "virtual-projector: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
