#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace mero::app {

struct Options {
  // Devices as the system's bytes; unset: the port found for that COM.
  std::optional<std::string> com1;
  std::optional<std::string> com2;
  // The traffic log's file, as the system's bytes; unset: no log.
  std::optional<std::string> log;
  // The line speed to start at, 19200 or 9600; unset: 19200.
  std::optional<int> speed;
  bool full = false;  // start with the whole window open
  bool demo = false;
  bool listPorts = false;
  bool help = false;
  bool version = false;
  std::string error;  // set when the command line cannot be read
};

// Reads the arguments after the program name.
Options ParseOptions(std::span<const std::string_view> args);

std::string UsageText();
std::string VersionText();

}  // namespace mero::app
