#include "cli/request.h"

#include <QCommandLineParser>
#include <QFile>
#include <QStringList>

#include "link/port/port_discovery.h"

namespace mero::cli {
namespace {

constexpr std::string_view kLineFormat = ",N,8,1";
constexpr std::string_view kDefaultSpeed = "19200";
constexpr std::string_view kOtherSpeed = "9600";
constexpr std::string_view kRawName = "raw";

// Arguments are bytes; Latin-1 carries every byte through the parser unchanged.
QString FromBytes(std::string_view bytes) {
  return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string ToBytes(const QString& text) { return text.toLatin1().toStdString(); }

std::string WordOf(Command command) { return command == Command::Query ? "query" : "send"; }

std::string SeeHelp(Command command) { return "; see mero-control " + WordOf(command) + " --help"; }

std::string SeeList(Command command) {
  return "; mero-control " + WordOf(command) + " --list shows them";
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::optional<Message> MessageFor(Command command, std::string_view name) {
  if (command == Command::Query) {
    const link::StatusQuery* query = link::FindStatusQuery(name);
    if (query == nullptr) return std::nullopt;
    return Message{std::string(name), std::string(query->code), link::CommandText("", query->code),
                   link::ReplyWindowOf(query->timing), true};
  }
  const link::OneShotCommand* key = link::FindOneShotCommand(name);
  if (key == nullptr) return std::nullopt;
  return Message{std::string(name), std::string(key->code), link::CommandText("", key->code),
                 link::ReplyWindowOf(key->timing), false};
}

// The bytes of a command as a list shows them: the code, then the CR written as \r.
std::string ListLine(std::string_view name, std::string_view code, int windowMs) {
  return std::string(name) + '\t' + std::string(code) + "\\r\t" + std::to_string(windowMs) +
         " ms\n";
}

}  // namespace

std::optional<Command> CommandOf(std::string_view word) {
  if (word == "query") return Command::Query;
  if (word == "send") return Command::Send;
  return std::nullopt;
}

std::vector<std::string> AddressLines(std::string_view content) {
  std::vector<std::string> lines;
  while (!content.empty()) {
    const std::size_t end = content.find('\n');
    std::string_view line = content.substr(0, end);
    content = end == std::string_view::npos ? std::string_view{} : content.substr(end + 1);
    while (!line.empty() && IsBlank(line.back())) line.remove_suffix(1);
    while (!line.empty() && IsBlank(line.front())) line.remove_prefix(1);
    if (line.empty() || line.starts_with('#')) continue;
    lines.emplace_back(line);
  }
  return lines;
}

// Why the parser refused the arguments.
std::string ParseFailure(const QCommandLineParser& parser, Command command) {
  const QStringList unknown = parser.unknownOptionNames();
  if (unknown.isEmpty()) return link::ShowPath(ToBytes(parser.errorText())) + SeeHelp(command);
  const QString& name = unknown.front();
  return "unknown option " + std::string(name.size() == 1 ? "-" : "--") +
         link::ShowPath(ToBytes(name)) + SeeHelp(command);
}

// Sets the request's message: the text of --raw, or the query or key named by the first
// positional argument, which it takes off the list. False, with the error set, when there is
// none.
bool TakeMessage(Request& request, const QCommandLineParser& parser,
                 const QCommandLineOption& raw, QStringList& positional) {
  const Command command = request.command;
  if (command == Command::Send && parser.isSet(raw)) {
    const std::string text = ToBytes(parser.value(raw));
    request.message = {std::string(kRawName), text, link::CommandText("", text),
                       link::ReplyWindowOf(link::kTypedTiming), false};
    return true;
  }
  if (positional.isEmpty()) {
    request.error = command == Command::Query
                        ? "query needs the name of a status query" + SeeList(command)
                        : "send needs the name of a key, or --raw TEXT" + SeeList(command);
    return false;
  }
  const std::string name = ToBytes(positional.takeFirst());
  const std::optional<Message> message = MessageFor(command, name);
  if (!message) {
    request.error =
        (command == Command::Query ? "no status query is called \"" : "no key is called \"") +
        link::ShowPath(name) + "\"" + SeeList(command);
    return false;
  }
  request.message = *message;
  return true;
}

// Adds the addresses in the file at `path`, or sets the error when it cannot be read.
void AddAddressFile(Request& request, const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    request.error = "cannot read the addresses in " + link::ShowPath(ToBytes(path)) + ": " +
                    file.errorString().toStdString();
    return;
  }
  const QByteArray content = file.readAll();
  for (std::string& address : AddressLines(std::string_view(content.data(), content.size()))) {
    request.addresses.push_back(std::move(address));
  }
}

Request ParseRequest(std::span<const std::string_view> args) {
  Request request;
  if (args.empty() || !CommandOf(args.front())) {
    request.error = "expected query or send";
    return request;
  }
  const Command command = *CommandOf(args.front());
  request.command = command;

  QStringList arguments{QStringLiteral("mero-control")};
  for (const std::string_view arg : args.subspan(1)) arguments << FromBytes(arg);

  QCommandLineParser parser;
  const QCommandLineOption com1(QStringLiteral("com1"), {}, QStringLiteral("DEVICE"));
  const QCommandLineOption addresses(QStringLiteral("addresses"), {}, QStringLiteral("FILE"));
  const QCommandLineOption speed(QStringLiteral("speed"), {}, QStringLiteral("BAUD"));
  const QCommandLineOption log(QStringLiteral("log"), {}, QStringLiteral("FILE"));
  const QCommandLineOption json(QStringLiteral("json"));
  const QCommandLineOption list(QStringLiteral("list"));
  const QCommandLineOption raw(QStringLiteral("raw"), {}, QStringLiteral("TEXT"));
  const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
  parser.addOptions({com1, addresses, speed, log, json, list, help});
  if (command == Command::Send) parser.addOption(raw);

  if (!parser.parse(arguments)) {
    request.error = ParseFailure(parser, command);
    return request;
  }
  request.help = parser.isSet(help);
  request.list = parser.isSet(list);
  request.json = parser.isSet(json);
  if (request.help || request.list) return request;

  for (const auto& [option, what] :
       {std::pair{&com1, "a device"}, std::pair{&log, "a file"}, std::pair{&addresses, "a file"}}) {
    if (parser.isSet(*option) && parser.value(*option).isEmpty()) {
      request.error = "--" + option->names().front().toStdString() + " needs " + what;
      return request;
    }
  }
  if (parser.isSet(log)) request.log = ToBytes(parser.value(log));

  const std::string baud = parser.isSet(speed) ? ToBytes(parser.value(speed)) : "";
  if (parser.isSet(speed) && baud != kDefaultSpeed && baud != kOtherSpeed) {
    request.error = "--speed is 19200 or 9600, not " + link::ShowPath(baud);
    return request;
  }
  request.settings = (baud.empty() ? std::string(kDefaultSpeed) : baud) + std::string(kLineFormat);

  QStringList positional = parser.positionalArguments();
  if (!TakeMessage(request, parser, raw, positional)) return request;

  if (parser.isSet(com1)) request.addresses.push_back(ToBytes(parser.value(com1)));
  for (const QString& address : positional) request.addresses.push_back(ToBytes(address));
  if (parser.isSet(addresses)) AddAddressFile(request, parser.value(addresses));
  return request;
}

std::string ListText(Command command) {
  std::string text;
  if (command == Command::Query) {
    for (const link::StatusQuery& query : link::StatusQueries()) {
      text += ListLine(query.name, query.code, link::ReplyWindowOf(query.timing));
    }
  } else {
    for (const link::OneShotCommand& key : link::OneShotCommands()) {
      text += ListLine(key.name, key.code, link::ReplyWindowOf(key.timing));
    }
  }
  return text;
}

std::string HelpText(Command command) {
  const std::string common =
      "  ADDRESS          a projector's port: a device such as /dev/ttyUSB0, as the panel\n"
      "                   takes it; several are asked at once, each on its own line of output\n"
      "  --com1 DEVICE    one more address, first in the output\n"
      "  --addresses FILE more addresses, one a line (# starts a comment line)\n"
      "  --speed BAUD     19200 (the default) or 9600\n"
      "  --json           one JSON object a projector instead of text\n"
      "  --log FILE       append every send and arrival to FILE, one line each\n"
      "  -h, --help       show this text\n"
      "\n"
      "Without an address the first serial port found is used, as the panel's COM1.\n"
      "With one address the line is printed alone; with several, each line starts with the\n"
      "address and the result, separated by tabs.\n"
      "\n"
      "Exit status (with several projectors, the highest of theirs):\n"
      "  0  decoded (send: acknowledged)\n"
      "  1  the log file cannot be written\n"
      "  2  the command line cannot be read\n"
      "  3  a reply came that does not decode (send: that is not an acknowledgement)\n"
      "  4  no reply within the reply window\n"
      "  5  the port cannot be opened, or was lost\n";
  if (command == Command::Query) {
    return "Usage: mero-control query NAME [ADDRESS...] [--com1 DEVICE] [--addresses FILE]\n"
           "                          [--speed BAUD] [--json] [--log FILE]\n"
           "       mero-control query --list\n"
           "Sends the status query NAME, waits for the reply within the query's reply window,\n"
           "and prints the status decoded as the panel's status line shows it.\n"
           "\n"
           "  NAME             a status query: status, lamp-hours, temperatures, ...\n"
           "  --list           list the status queries with their bytes and reply windows\n" +
           common;
  }
  return "Usage: mero-control send NAME [ADDRESS...] [--com1 DEVICE] [--addresses FILE]\n"
         "                         [--speed BAUD] [--json] [--log FILE]\n"
         "       mero-control send --raw TEXT [ADDRESS...] [options]\n"
         "       mero-control send --list\n"
         "Sends the command of the key NAME, waits for the acknowledgement within the key's\n"
         "reply window and prints the reply as the panel's RXD line shows it.\n"
         "\n"
         "  NAME             a key: power-on, input-pc1, mute-on, ...\n"
         "  --raw TEXT       send TEXT and a CR, as the panel's command entry does\n"
         "  --list           list the keys with their bytes and reply windows\n" +
         common;
}

}  // namespace mero::cli
