#pragma once

#include <span>
#include <string>
#include <string_view>

#include "projector/pty_server.h"

namespace mero::vp {

// The name the package installs the program under, which is the one its user types.
inline constexpr std::string_view kProgramName = "mero-virtual-projector";

// Beyond these a value is a slip of the finger rather than a wish: a projector takes under a
// minute to warm up, and a machine has a few thousand pseudo-terminals for everyone.
inline constexpr int kMaxCount = 256;
inline constexpr Ms kMaxMs = 3'600'000;
inline constexpr int kMaxBaud = 4'000'000;

struct CommandLine {
  enum class Action { Run, Help, Version, Error };
  Action action = Action::Run;
  ServerOptions server;
  int count = 1;
  std::string commandLog;  // the --command-log file; empty: none
  std::string error;       // for Error: what is wrong, in a line without the program's name
};

// Reads the arguments after the program's name, in the panel's style: --name VALUE or
// --name=VALUE, -h and -v.
CommandLine ParseCommandLine(std::span<const std::string_view> arguments);

std::string UsageText();

}  // namespace mero::vp
