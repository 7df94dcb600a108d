#include "projector/command_line.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <system_error>

namespace mero::vp {
namespace {

enum class Name {
  Count,
  Link,
  Device,
  CommandLog,
  WarmUp,
  CoolDown,
  ReplyDelay,
  Baud,
  Help,
  Version,
  Size
};

struct Option {
  std::string_view spelling;
  Name name;
  bool takesValue;
};

constexpr Option kOptions[] = {
    {"--count", Name::Count, true},
    {"--link", Name::Link, true},
    {"--device", Name::Device, true},
    {"--command-log", Name::CommandLog, true},
    {"--warm-up", Name::WarmUp, true},
    {"--cool-down", Name::CoolDown, true},
    {"--reply-delay", Name::ReplyDelay, true},
    {"--baud", Name::Baud, true},
    {"-h", Name::Help, false},
    {"--help", Name::Help, false},
    {"-v", Name::Version, false},
    {"--version", Name::Version, false},
};

struct NumberRule {
  Name name;
  std::string_view spelling;
  std::string_view kind;
  long long min;
  long long max;
  void (*set)(CommandLine&, long long);
};

constexpr NumberRule kNumbers[] = {
    {Name::Count, "--count", "a whole number", 1, kMaxCount,
     [](CommandLine& line, long long n) { line.count = static_cast<int>(n); }},
    {Name::WarmUp, "--warm-up", "a whole number of milliseconds", 0, kMaxMs,
     [](CommandLine& line, long long n) { line.server.projector.warmUpMs = n; }},
    {Name::CoolDown, "--cool-down", "a whole number of milliseconds", 0, kMaxMs,
     [](CommandLine& line, long long n) { line.server.projector.coolDownMs = n; }},
    {Name::ReplyDelay, "--reply-delay", "a whole number of milliseconds", 0, kMaxMs,
     [](CommandLine& line, long long n) { line.server.replyDelay = std::chrono::milliseconds(n); }},
    {Name::Baud, "--baud", "a whole number", 1, kMaxBaud,
     [](CommandLine& line, long long n) { line.server.baud = static_cast<int>(n); }},
};

// The words as typed, before any value is judged.
struct Words {
  std::array<std::optional<std::string_view>, static_cast<std::size_t>(Name::Size)> values;
  bool help = false;
  bool version = false;
  std::string error;

  std::optional<std::string_view>& operator[](Name name) {
    return values[static_cast<std::size_t>(name)];
  }
};

std::string SeeHelp() { return "; see " + std::string(kProgramName) + " --help"; }

// An empty value would vanish from the message, leaving it to read as if the value were missing.
std::string Shown(std::string_view value) {
  return value.empty() ? std::string("\"\"") : std::string(value);
}

std::optional<long long> WholeNumber(std::string_view text, long long min, long long max) {
  long long value = 0;
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end || value < min || value > max)
    return std::nullopt;
  return value;
}

Words ReadWords(std::span<const std::string_view> arguments) {
  Words words;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < arguments.size() && words.error.empty(); ++i) {
    const std::string_view argument = arguments[i];
    if (!optionsEnded && argument == "--") {
      optionsEnded = true;
      continue;
    }
    if (optionsEnded || !argument.starts_with('-') || argument == "-") {
      words.error = "unexpected argument " + Shown(argument) + SeeHelp();
      continue;
    }
    const std::size_t equals =
        argument.starts_with("--") ? argument.find('=') : std::string_view::npos;
    const std::string_view spelling = argument.substr(0, equals);
    const auto* option = std::ranges::find(kOptions, spelling, &Option::spelling);
    if (option == std::end(kOptions)) {
      words.error = "unknown option " + std::string(spelling) + SeeHelp();
    } else if (!option->takesValue) {
      if (equals != std::string_view::npos) {
        words.error = std::string(spelling) + " takes no value" + SeeHelp();
      }
      (option->name == Name::Help ? words.help : words.version) = true;
    } else if (equals != std::string_view::npos) {
      words[option->name] = argument.substr(equals + 1);
    } else if (i + 1 < arguments.size()) {
      words[option->name] = arguments[++i];
    } else {
      words.error = std::string(spelling) + " needs a value" + SeeHelp();
    }
  }
  return words;
}

// Fills `line` from the words; what is wrong with them, or nothing.
std::string TakeValues(Words& words, CommandLine& line) {
  for (const Name name : {Name::Link, Name::Device, Name::CommandLog}) {
    if (words[name] && words[name]->empty()) {
      const auto* option = std::ranges::find(kOptions, name, &Option::name);
      return std::string(option->spelling) + " needs a path";
    }
  }
  line.server.linkPath = words[Name::Link].value_or("");
  line.server.devicePath = words[Name::Device].value_or("");
  line.commandLog = words[Name::CommandLog].value_or("");
  for (const NumberRule& rule : kNumbers) {
    if (!words[rule.name]) continue;
    const std::optional<long long> number = WholeNumber(*words[rule.name], rule.min, rule.max);
    if (!number) {
      return std::string(rule.spelling) + " takes " + std::string(rule.kind) + " from " +
             std::to_string(rule.min) + " to " + std::to_string(rule.max) + ", not " +
             Shown(*words[rule.name]);
    }
    rule.set(line, *number);
  }
  if (line.server.devicePath.empty()) return {};
  if (line.count > 1) return "--count cannot go with --device: a device is one projector";
  if (line.server.baud > 0 && !IsLineSpeed(line.server.baud)) {
    return "--baud with --device takes a speed a serial line has, such as 9600 or 19200, not " +
           std::to_string(line.server.baud);
  }
  return {};
}

}  // namespace

CommandLine ParseCommandLine(std::span<const std::string_view> arguments) {
  CommandLine line;
  Words words = ReadWords(arguments);
  if (words.error.empty() && !words.help && !words.version) {
    words.error = TakeValues(words, line);
  }
  if (!words.error.empty()) {
    line.action = CommandLine::Action::Error;
    line.error = std::move(words.error);
  } else if (words.help) {
    line.action = CommandLine::Action::Help;
  } else if (words.version) {
    line.action = CommandLine::Action::Version;
  }
  return line;
}

std::string UsageText() {
  const std::string name(kProgramName);
  return "Usage: " + name +
         " [options]\n"
         "Answers like a projector on a pseudo-terminal of its own, or on an existing serial\n"
         "device, and prints the device's path.\n"
         "  --count N          serve N independent projectors, one device path a line\n"
         "                     (1 to " +
         std::to_string(kMaxCount) +
         ", default 1)\n"
         "  --device PATH      serve this existing device (a serial port, one end of a\n"
         "                     pseudo-terminal pair) instead of a pseudo-terminal\n"
         "  --link PATH        keep a symbolic link to the device at PATH (with --count, links\n"
         "                     PATH-1 to PATH-N); refused while another instance serves there\n"
         "  --warm-up MS       count-down time after power on (default 5000)\n"
         "  --cool-down MS     cooling time after power off (default 5000)\n"
         "  --reply-delay MS   wait before each reply (default 0)\n"
         "  --command-log FILE append each command received to FILE, a line each: the time\n"
         "                     in ms since 1970, a tab, the projector's number from 1, a tab,\n"
         "                     the command without its CR (control bytes and \\ as \\xHH);\n"
         "                     a test aid, for checking what a program sent and when\n"
         "  --baud N           send replies at the speed of an N-baud line (default: at once);\n"
         "                     a --device is set to this speed (default " +
         std::to_string(kDefaultDeviceBaud) +
         ")\n"
         "  -h, --help         show this text\n"
         "  -v, --version      show the version\n";
}

}  // namespace mero::vp
