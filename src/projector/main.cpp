// virtual-projector: a projector on a pseudo-terminal, for the demo and for trying the panel
// without hardware. Prints the device path and serves until SIGINT or SIGTERM; --count serves
// several independent ones, a path a line.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStringList>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

#include "projector/pty_server.h"
#include "version.h"

namespace {

constexpr int kExitUsage = 2;

constexpr std::string_view kUsage =
    "Usage: virtual-projector [options]\n"
    "Answers like a projector on a pseudo-terminal and prints its device path.\n"
    "  --count N          serve N independent projectors, one device path a line (default 1)\n"
    "  --link PATH        keep a symbolic link to the device at PATH (with --count, links\n"
    "                     PATH-1 to PATH-N)\n"
    "  --warm-up MS       count-down time after power on (default 5000)\n"
    "  --cool-down MS     cooling time after power off (default 5000)\n"
    "  --reply-delay MS   wait before each reply (default 0)\n"
    "  --baud N           send replies at the speed of an N-baud line (default: at once)\n"
    "  -h, --help         show this text\n"
    "  -v, --version      show the version\n";

std::optional<int> Number(const QString& text) {
  const std::string digits = text.toStdString();
  int value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size() || value < 0)
    return std::nullopt;
  return value;
}

enum class Parsed { Run, Help, Version, Error };

// Fills `options` from the command line, in the same style as the panel's own: --name VALUE
// or --name=VALUE. Arguments are bytes; Latin-1 carries them through unchanged.
Parsed Parse(int argc, char** argv, mero::vp::ServerOptions& options, int& count) {
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLatin1(argv[i]);
  QCommandLineParser parser;
  const QCommandLineOption countOption(QStringLiteral("count"), {}, QStringLiteral("N"));
  const QCommandLineOption link(QStringLiteral("link"), {}, QStringLiteral("PATH"));
  const QCommandLineOption warmUp(QStringLiteral("warm-up"), {}, QStringLiteral("MS"));
  const QCommandLineOption coolDown(QStringLiteral("cool-down"), {}, QStringLiteral("MS"));
  const QCommandLineOption replyDelay(QStringLiteral("reply-delay"), {}, QStringLiteral("MS"));
  const QCommandLineOption baud(QStringLiteral("baud"), {}, QStringLiteral("N"));
  const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
  const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")});
  parser.addOptions({countOption, link, warmUp, coolDown, replyDelay, baud, help, version});
  if (!parser.parse(arguments)) {
    const QStringList unknown = parser.unknownOptionNames();
    std::cerr << "virtual-projector: "
              << (unknown.isEmpty() ? parser.errorText().toStdString()
                                    : "unknown option " + unknown.front().toStdString())
              << "; see virtual-projector --help\n";
    return Parsed::Error;
  }
  if (parser.isSet(help)) return Parsed::Help;
  if (parser.isSet(version)) return Parsed::Version;
  if (!parser.positionalArguments().isEmpty()) {
    std::cerr << "virtual-projector: unexpected argument "
              << parser.positionalArguments().front().toStdString()
              << "; see virtual-projector --help\n";
    return Parsed::Error;
  }
  if (parser.isSet(link)) options.linkPath = parser.value(link).toLatin1().toStdString();
  const struct {
    const QCommandLineOption* option;
    std::function<void(int)> set;
  } numbers[] = {
      {&warmUp, [&](int ms) { options.projector.warmUpMs = ms; }},
      {&coolDown, [&](int ms) { options.projector.coolDownMs = ms; }},
      {&replyDelay, [&](int ms) { options.replyDelay = std::chrono::milliseconds(ms); }},
      {&baud, [&](int n) { options.baud = n; }},
      {&countOption, [&](int n) { count = n; }},
  };
  for (const auto& [option, set] : numbers) {
    if (!parser.isSet(*option)) continue;
    const std::optional<int> number = Number(parser.value(*option));
    if (!number) {
      std::cerr << "virtual-projector: --" << option->names().front().toStdString()
                << ": not a number: " << parser.value(*option).toStdString() << "\n";
      return Parsed::Error;
    }
    set(*number);
  }
  if (count < 1) {
    std::cerr << "virtual-projector: --count: at least 1\n";
    return Parsed::Error;
  }
  return Parsed::Run;
}

}  // namespace

int main(int argc, char** argv) {
  mero::vp::ServerOptions options;
  int count = 1;
  switch (Parse(argc, argv, options, count)) {
    case Parsed::Error:
      return kExitUsage;
    case Parsed::Help:
      std::cout << kUsage;
      return 0;
    case Parsed::Version:
      std::cout << "virtual-projector " << mero::kVersion << "\n";
      return 0;
    case Parsed::Run:
      break;
  }

  // Blocked before the server thread starts, so that only sigwait() below takes them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  try {
    std::vector<std::unique_ptr<mero::vp::PtyServer>> servers;
    for (int i = 1; i <= count; ++i) {
      mero::vp::ServerOptions own = options;
      if (count > 1 && !own.linkPath.empty()) own.linkPath += "-" + std::to_string(i);
      servers.push_back(std::make_unique<mero::vp::PtyServer>(own));
      std::cout << servers.back()->DevicePath() << '\n';
    }
    std::cout << std::flush;
    int signal = 0;
    sigwait(&stopSignals, &signal);
  } catch (const std::system_error& error) {
    std::cerr << "virtual-projector: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
