#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "link/protocol/commands.h"

namespace mero::cli {

// Exit codes of the headless commands. With several projectors the highest of their codes is
// the program's: the order below runs from best to worst.
inline constexpr int kExitDone = 0;        // decoded, or acknowledged
inline constexpr int kExitFailure = 1;     // the log file cannot be written
inline constexpr int kExitUsage = 2;       // the command line cannot be read
inline constexpr int kExitNotDecoded = 3;  // a reply came that does not decode (send: no ACK)
inline constexpr int kExitNoReply = 4;     // nothing came within the reply window
inline constexpr int kExitNoPort = 5;      // the port cannot be opened, or was lost

enum class Command { Query, Send };

// "query" and "send": the words that start a headless command instead of the window.
std::optional<Command> CommandOf(std::string_view word);

// What to send and how long to wait for the reply.
struct Message {
  std::string name;  // the key or query name, or "raw"
  std::string code;  // without the CR
  link::Bytes text;  // what goes on the line
  int replyWindowMs = 0;
  bool decoded = false;  // a status query, whose reply is decoded
};

struct Request {
  Command command = Command::Query;
  Message message;
  // Addresses as the system's bytes, in the order given; none: the first serial port found.
  std::vector<std::string> addresses;
  std::string settings;  // "19200,N,8,1" or "9600,N,8,1"
  std::optional<std::string> log;
  bool json = false;
  bool list = false;
  bool help = false;
  std::string error;  // set when the command line cannot be read
};

// Reads the arguments after the program name, the command word first. The addresses of an
// --addresses file come after those on the command line.
Request ParseRequest(std::span<const std::string_view> args);

// The addresses of such a file: one a line; blank lines and lines that start with # are left
// out, and blanks and a CR at the end of a line dropped.
std::vector<std::string> AddressLines(std::string_view content);

// `query --list` and `send --list`: one line a name, with the bytes it sends and its reply
// window, tab-separated.
std::string ListText(Command command);
std::string HelpText(Command command);

}  // namespace mero::cli
