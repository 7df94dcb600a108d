// mero-ctl: the projectors' headless commands and their service, with no display, fonts or
// widgets to load, for scripts and for boxes that have no screen.
#include <cstdio>
#include <string>
#include <string_view>

#include "app/handoff.h"
#include "app/serve_main.h"
#include "cli/headless.h"
#include "cli/plain_text.h"
#include "version.h"

namespace {

constexpr int kExitUsage = 2;
constexpr std::string_view kCommands[] = {"query", "send", "serve"};

constexpr const char* kUsage =
    "Usage: mero-ctl query NAME [ADDRESS...] [options]   (see mero-ctl query -h)\n"
    "       mero-ctl send NAME [ADDRESS...] [options]    (see mero-ctl send -h)\n"
    "       mero-ctl serve [--config FILE] [--check]     (see mero-ctl serve -h)\n"
    "Headless commands for QM40, QM50 and QM70 projectors on RS-232 lines.\n"
    "\n"
    "  query          ask one or more projectors for a status, print it and exit\n"
    "  send           send one or more projectors a command, print the result and exit\n"
    "  serve          serve projectors as PJLink projectors, with Prometheus metrics\n"
    "  -h, --help     show this text\n"
    "  -v, --version  show the version\n"
    "\n"
    "The panel, mero-control, runs these too: `mero-control query ...` is this program.\n";

int Refuse(std::string_view word) {
  std::string text = "mero-ctl: unknown command \"" + mero::cli::Escaped(word) + "\"";
  if (const auto nearest = mero::cli::Nearest(word, kCommands)) {
    text += " (did you mean " + std::string(*nearest) + "?)";
  }
  std::fprintf(stderr, "%s; see mero-ctl --help\n", text.c_str());
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  if (mero::app::IsServe(argc, argv)) return mero::app::ServeMain(argc, argv);
  if (mero::cli::IsHeadless(argc, argv)) return mero::cli::Main(argc, argv);

  const std::string_view first = argc > 1 ? argv[1] : "";
  if (first == "-h" || first == "--help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (first == "-v" || first == "--version") {
    const std::string version =
        std::string(mero::app::kHeadlessProgram) + " " + std::string(mero::kVersion) + "\n";
    std::fputs(version.c_str(), stdout);
    return 0;
  }
  if (first.empty()) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  return Refuse(first);
}
