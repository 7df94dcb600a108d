#include "app/options.h"

#include <QCommandLineParser>
#include <QStringList>
#include <optional>
#include <tuple>

#include "link/port/port_discovery.h"
#include "version.h"

namespace mero::app {
namespace {

// Arguments are bytes; Latin-1 carries every byte through the parser unchanged, and option
// names are plain ASCII either way.
QString FromBytes(std::string_view bytes) {
  return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string ToBytes(const QString& text) { return text.toLatin1().toStdString(); }

std::string Shown(const QString& text) { return link::ShowPath(ToBytes(text)); }

constexpr std::string_view kSeeHelp = "; see mero-control --help";
constexpr std::string_view kLogNeedsFile = "--log needs a file, for example /tmp/mero.log";
constexpr std::string_view kSpeedNeedsValue = " needs a speed: 19200 or 9600";
constexpr int kSpeeds[] = {19200, 9600};

// Why the parser refused the arguments, in the operator's words.
std::string RefusalOf(const QCommandLineParser& parser, std::span<const std::string_view> args) {
  const QStringList unknown = parser.unknownOptionNames();
  if (!unknown.isEmpty()) {
    const QString& name = unknown.front();
    return "unknown option " + std::string(name.size() == 1 ? "-" : "--") + Shown(name) +
           std::string(kSeeHelp);
  }
  const std::string_view last = args.empty() ? std::string_view() : args.back();
  if (last == "--com1" || last == "--com2") {
    return std::string(last) + " needs a device, for example /dev/ttyUSB0";
  }
  if (last == "--log") return std::string(kLogNeedsFile);
  if (last == "--speed" || last == "-b") return std::string(last) + std::string(kSpeedNeedsValue);
  return Shown(parser.errorText()) + std::string(kSeeHelp);
}

// The speed named by the option's value; none, with the reason in `error`, for anything else.
std::optional<int> SpeedOf(const QString& value, std::string& error) {
  const std::string baud = ToBytes(value);
  for (const int known : kSpeeds) {
    if (baud == std::to_string(known)) return known;
  }
  error = baud.empty() ? "--speed" + std::string(kSpeedNeedsValue)
                       : "--speed is 19200 or 9600, not " + Shown(value);
  return std::nullopt;
}

}  // namespace

Options ParseOptions(std::span<const std::string_view> args) {
  QStringList arguments{QStringLiteral("mero-control")};
  for (const std::string_view arg : args) arguments << FromBytes(arg);

  QCommandLineParser parser;
  const QCommandLineOption com1(QStringLiteral("com1"), {}, QStringLiteral("DEVICE"));
  const QCommandLineOption com2(QStringLiteral("com2"), {}, QStringLiteral("DEVICE"));
  const QCommandLineOption log(QStringLiteral("log"), {}, QStringLiteral("FILE"));
  const QCommandLineOption speed(QStringList{QStringLiteral("b"), QStringLiteral("speed")}, {},
                                 QStringLiteral("BAUD"));
  const QCommandLineOption full(QStringLiteral("full"));
  const QCommandLineOption demo(QStringLiteral("demo"));
  const QCommandLineOption listPorts(QStringLiteral("list-ports"));
  const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
  const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")});
  parser.addOptions({com1, com2, log, speed, full, demo, listPorts, help, version});

  Options options;
  if (!parser.parse(arguments)) {
    options.error = RefusalOf(parser, args);
    return options;
  }
  options.full = parser.isSet(full);
  options.demo = parser.isSet(demo);
  options.listPorts = parser.isSet(listPorts);
  options.help = parser.isSet(help);
  options.version = parser.isSet(version);
  for (const auto& [option, name, device] :
       {std::tuple{&com1, "--com1", &options.com1}, std::tuple{&com2, "--com2", &options.com2}}) {
    if (!parser.isSet(*option)) continue;
    const QString value = parser.value(*option);
    if (value.isEmpty()) {
      options.error = std::string(name) + " needs a device, for example /dev/ttyUSB0";
      return options;
    }
    *device = ToBytes(value);
  }
  if (parser.isSet(log)) {
    if (parser.value(log).isEmpty()) {
      options.error = std::string(kLogNeedsFile);
      return options;
    }
    options.log = ToBytes(parser.value(log));
  }
  if (parser.isSet(speed)) {
    options.speed = SpeedOf(parser.value(speed), options.error);
    if (!options.speed) return options;
  }

  const QStringList devices = parser.positionalArguments();
  if (devices.size() > 1) {
    options.error = "more than one DEVICE (" + Shown(devices[1]) +
                    "): a lone DEVICE is COM1; name COM2 with --com2" + std::string(kSeeHelp);
  } else if (devices.size() == 1 && options.com1) {
    options.error = "COM1 is named twice, as DEVICE and with --com1" + std::string(kSeeHelp);
  } else if (devices.size() == 1) {
    options.com1 = ToBytes(devices.front());
  }
  return options;
}

std::string UsageText() {
  return "Usage: mero-control [DEVICE] [--com1 DEVICE] [--com2 DEVICE] [--speed BAUD]\n"
         "                    [--full] [--log FILE] [--demo] [--list-ports]\n"
         "       mero-control query NAME [ADDRESS...] [options]   (see mero-control query -h)\n"
         "       mero-control send NAME [ADDRESS...] [options]    (see mero-control send -h)\n"
         "Control panel for QM40, QM50 and QM70 projectors on an RS-232 line.\n"
         "\n"
         "  DEVICE           the device behind COM1, as with --com1\n"
         "  --com1 DEVICE    the device behind COM1, for example /dev/ttyUSB0 or a\n"
         "                   /dev/serial/by-id/... link (also --com1=DEVICE)\n"
         "  --com2 DEVICE    the device behind COM2\n"
         "                   A DEVICE may also be a serial device server on the network:\n"
         "                   tcp://HOST:PORT (raw bytes) or rfc2217://HOST:PORT (telnet\n"
         "                   with RFC 2217, which also sets the server's line speed);\n"
         "                   an IPv6 HOST goes in brackets: rfc2217://[::1]:7000\n"
         "  -b, --speed BAUD the line speed to start at: 19200 (the default) or 9600;\n"
         "                   \"19200\" and \"9600\" under COM change it later\n"
         "  --full           start with the whole window open, as Ctrl+K and then a\n"
         "                   double-click on the logo open it\n"
         "  --log FILE       append every send and arrival to FILE, one line each\n"
         "  --demo           put COM1 on the built-in virtual projector\n"
         "  --list-ports     list the serial ports of this machine and which is COM1 and COM2\n"
         "  -h, --help       show this text\n"
         "  -v, --version    show the version\n"
         "\n"
         "Unless named, COM1 is the first serial port found and COM2 the second: built-in\n"
         "ports first, then USB adapters in the order of their /dev/serial/by-id names.\n"
         "With none found they are /dev/ttyS0 and /dev/ttyS1. A port that goes away is\n"
         "opened again as soon as it comes back.\n"
         "\n"
         "query and send work without a display: they ask one or more projectors for a\n"
         "status or send them one command, print the result and exit.\n";
}

std::string VersionText() { return "mero-control " + std::string(kVersion) + "\n"; }

}  // namespace mero::app
