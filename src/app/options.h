#pragma once

#include <span>
#include <string>
#include <string_view>

namespace mero::app {

struct Options {
  std::string com1 = "/dev/ttyS0";
  std::string com2 = "/dev/ttyS1";
  bool demo = false;
  bool help = false;
  bool version = false;
  std::string error;  // set when the command line cannot be read
};

// Reads the arguments after the program name.
Options ParseOptions(std::span<const std::string_view> args);

std::string UsageText();
std::string VersionText();

}  // namespace mero::app
