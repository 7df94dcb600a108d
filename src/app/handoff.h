#pragma once

#include <string_view>

namespace mero::app {

// The headless program that runs query, send and serve, and the package that holds it.
inline constexpr std::string_view kHeadlessProgram = "mero-ctl";

// Whether the panel's first argument is a command of the headless program: query, send or
// serve, or a word mistyped for query or send, which the headless program explains.
bool IsHeadlessCommand(std::string_view first);

// Replaces this process with the headless program, given the same arguments: the one beside
// this program's own file first, then the one in PATH. Returns only when neither can run, after
// saying why in one line, with the exit code.
int RunHeadless(char** argv);

}  // namespace mero::app
