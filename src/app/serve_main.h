#pragma once

namespace mero::app {

// Whether the command line asks for the service: its first argument is "serve".
bool IsServe(int argc, char** argv);

// Runs `mero-control serve [--config FILE] [--check]` until SIGTERM or SIGINT; SIGHUP reads the
// file again. Returns the exit code.
int ServeMain(int argc, char** argv);

}  // namespace mero::app
