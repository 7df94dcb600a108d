#include "app/options.h"

namespace mero::app {

Options ParseOptions(std::span<const std::string_view> args) {
  Options options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--version") {
      options.version = true;
    } else if (arg == "--demo") {
      options.demo = true;
    } else if (arg == "--com1" || arg == "--com2") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        options.error = std::string(arg) + " needs a device, for example /dev/ttyUSB0";
        return options;
      }
      (arg == "--com1" ? options.com1 : options.com2) = args[++i];
    } else {
      options.error = "unknown option: " + std::string(arg);
      return options;
    }
  }
  return options;
}

std::string UsageText() {
  return "Usage: mero-control [--com1 DEVICE] [--com2 DEVICE] [--demo]\n"
         "Control panel for QM40, QM50 and QM70 projectors on an RS-232 line.\n"
         "\n"
         "  --com1 DEVICE  the device behind COM1 (default /dev/ttyS0), for example\n"
         "                 /dev/ttyUSB0 or a /dev/serial/by-id/... link\n"
         "  --com2 DEVICE  the device behind COM2 (default /dev/ttyS1)\n"
         "  --demo         put COM1 on the built-in virtual projector\n"
         "  --help         show this text\n"
         "  --version      show the version\n";
}

std::string VersionText() { return "mero-control 1.40\n"; }

}  // namespace mero::app
