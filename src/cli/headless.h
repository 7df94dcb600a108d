#pragma once

#include <string_view>

namespace mero::cli {

// Whether the command line asks for a headless command rather than the window: its first
// argument is "query" or "send", or a word a letter or so off them that names no file, which
// is told as the mistake it is rather than opened as the panel's DEVICE.
bool IsHeadless(int argc, char** argv);

// Runs `mero-control query ...` or `mero-control send ...` on an event loop of its own, with
// no display, and returns the exit code.
int Main(int argc, char** argv);

}  // namespace mero::cli
