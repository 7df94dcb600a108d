#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/command_words.h"
#include "link/port/line_settings.h"
#include "link/protocol/commands.h"

namespace mero::cli {

// Exit codes of the headless commands. With several projectors the highest of their codes is
// the program's: the order below runs from best to worst.
inline constexpr int kExitDone = 0;        // decoded, or acknowledged
inline constexpr int kExitFailure = 1;     // the log file cannot be written
inline constexpr int kExitUsage = 2;       // the command line cannot be read
inline constexpr int kExitNotDecoded = 3;  // a reply came that does not decode (send: no ACK)
inline constexpr int kExitNoReply = 4;     // nothing came within the reply window
// The port cannot be opened, no connection was made, the line was lost, or a device server
// set its line otherwise than asked.
inline constexpr int kExitNoPort = 5;

// The longest --raw text, as it goes on the line: commands are a few bytes.
inline constexpr std::size_t kLongestRaw = 1024;

// What to send and how long to wait for the reply.
struct Message {
  std::string name;  // the key or query name, or "raw"
  std::string code;  // without the CR; for --raw its bytes, escapes read
  link::Bytes text;  // what goes on the line
  int replyWindowMs = 0;
  bool decoded = false;  // a status query, whose reply is decoded
};

struct Request {
  Command command = Command::Query;
  Message message;
  // Addresses as the system's bytes, in the order given, each of a form that exists.
  std::vector<std::string> addresses;
  link::LineSettings settings{19200};  // 19200 or 9600 baud, 8 data bits, no parity, 1 stop bit
  std::optional<std::string> log;
  bool json = false;
  bool list = false;
  bool help = false;
  std::string error;  // set when the command line cannot be read
};

// Reads the arguments after the program name, the command word first. The addresses of an
// --addresses file come after those on the command line.
Request ParseRequest(std::span<const std::string_view> args);

// `query --list` and `send --list`: one line a name, with the bytes it sends (escaped as --raw
// takes them) and its reply window, tab-separated; with `json`, one JSON object a line.
std::string ListText(Command command, bool json);
std::string HelpText(Command command);

}  // namespace mero::cli
