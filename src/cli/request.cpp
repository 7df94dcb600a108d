#include "cli/request.h"

#include <QCommandLineParser>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <array>
#include <vector>

#include "cli/addresses.h"
#include "cli/exchange.h"
#include "cli/fleet.h"
#include "cli/plain_text.h"
#include "link/port/port_discovery.h"

namespace mero::cli {
namespace {

constexpr std::string_view kDefaultSpeed = "19200";
constexpr std::int32_t kDefaultBaud = 19200;
constexpr std::int32_t kOtherBaud = 9600;
constexpr std::string_view kOtherSpeed = "9600";
constexpr std::string_view kRawName = "raw";
constexpr char kCr = '\r';

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

// One name of a list, with the bytes it sends as --raw takes them.
std::string ListLine(std::string_view name, std::string_view code, int windowMs, bool json) {
  const link::Bytes sent = link::CommandText("", code);
  if (!json) {
    return std::string(name) + '\t' + Escaped(sent) + '\t' + std::to_string(windowMs) + " ms\n";
  }
  const QJsonObject object{{QStringLiteral("name"),
                            QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()))},
                           {QStringLiteral("command"),
                            QString::fromLatin1(code.data(), static_cast<qsizetype>(code.size()))},
                           {QStringLiteral("sent"),
                            QString::fromLatin1(sent.data(), static_cast<qsizetype>(sent.size()))},
                           {QStringLiteral("windowMs"), windowMs}};
  return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString() + '\n';
}

std::vector<std::string_view> NamesOf(Command command) {
  std::vector<std::string_view> names;
  if (command == Command::Query) {
    for (const link::StatusQuery& query : link::StatusQueries()) names.push_back(query.name);
  } else {
    for (const link::OneShotCommand& key : link::OneShotCommands()) names.push_back(key.name);
  }
  return names;
}

// Why no query or key is called `name`, with the one that was likely meant.
std::string UnknownName(Command command, const std::string& name) {
  const Command other = command == Command::Query ? Command::Send : Command::Query;
  const std::string shown = link::ShowPath(name);
  if (MessageFor(other, name)) {
    return "\"" + shown + "\" is " +
           (other == Command::Send ? "a key, not a status query" : "a status query, not a key") +
           ": mero-control " + WordOf(other) + " " + shown;
  }
  std::string error =
      (command == Command::Query ? "no status query is called \"" : "no key is called \"") + shown +
      "\"";
  const std::vector<std::string_view> names = NamesOf(command);
  if (const auto nearest = Nearest(name, names)) {
    error += " (did you mean " + std::string(*nearest) + "?)";
  }
  return error + SeeList(command);
}

}  // namespace

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
bool TakeMessage(Request& request, const QCommandLineParser& parser, const QCommandLineOption& raw,
                 QStringList& positional) {
  const Command command = request.command;
  if (command == Command::Send && parser.isSet(raw)) {
    std::string why;
    const std::optional<link::Bytes> text = Unescaped(ToBytes(parser.value(raw)), &why);
    if (!text) {
      request.error = "--raw: " + why;
      return false;
    }
    // The panel's command entry ends what it sends with a CR; a text that ends with its own
    // is sent as it is, not with a second one.
    const bool ended = !text->empty() && text->back() == kCr;
    const std::string code = ended ? text->substr(0, text->size() - 1) : *text;
    if (code.empty()) {
      request.error = "--raw needs a text to send";
      return false;
    }
    const link::Bytes sent = ended ? *text : link::CommandText("", code);
    if (sent.size() > kLongestRaw) {
      request.error = "--raw: the text is " + std::to_string(sent.size()) +
                      " bytes with its CR; at most " + std::to_string(kLongestRaw) + " are sent";
      return false;
    }
    request.message = {std::string(kRawName), code, sent, link::ReplyWindowOf(link::kTypedTiming),
                       false};
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
    request.error = UnknownName(command, name);
    return false;
  }
  request.message = *message;
  return true;
}

// Adds an address of the command line, or sets the error when it has no form that exists.
void AddAddress(Request& request, std::string address) {
  if (const auto error = AddressFormError(address)) {
    request.error = *error;
    return;
  }
  request.addresses.push_back(std::move(address));
}

// Adds the addresses in the file at `path`, or sets the error when it cannot be used.
void AddAddressFile(Request& request, const std::string& path) {
  const AddressReader file = ReadAddressFile(path);
  if (!file.error().empty()) {
    request.error = file.error();
    return;
  }
  request.addresses.insert(request.addresses.end(), file.addresses().begin(),
                           file.addresses().end());
}

// Sets the addresses: --com1's, the rest of the command line's, then the file's. None at all is
// a mistake: a script with an empty variable must not reach whatever port the machine has.
void TakeAddresses(Request& request, const std::optional<QString>& com1,
                   const QStringList& positional, const std::optional<QString>& file) {
  if (com1) AddAddress(request, ToBytes(*com1));
  for (const QString& address : positional) {
    if (request.error.empty()) AddAddress(request, ToBytes(address));
  }
  if (!request.error.empty()) return;
  if (!file) {
    if (request.addresses.empty()) {
      request.error =
          "no projector is named: give its address (a device such as /dev/ttyUSB0, or "
          "tcp://HOST:PORT), --com1 DEVICE or --addresses FILE; nothing was sent";
    }
    return;
  }
  const std::string path = ToBytes(*file);
  AddAddressFile(request, path);
  if (request.error.empty() && request.addresses.empty()) {
    request.error = link::ShowPath(path) +
                    " names no address (it is empty, or only comments), and none is given: "
                    "nothing was sent";
  }
}

Request ParseRequest(std::span<const std::string_view> args) {
  Request request;
  if (args.empty() || !CommandOf(args.front())) {
    request.error = "expected query or send";
    if (!args.empty()) {
      if (const auto nearest = Nearest(args.front(), kCommandWords)) {
        request.error = "unknown command \"" + link::ShowPath(std::string(args.front())) +
                        "\" (did you mean " + std::string(*nearest) + "?); see mero-control --help";
      }
    }
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
  request.settings.baudRate = baud == kOtherSpeed ? kOtherBaud : kDefaultBaud;

  QStringList positional = parser.positionalArguments();
  if (!TakeMessage(request, parser, raw, positional)) return request;

  TakeAddresses(request, parser.isSet(com1) ? std::optional(parser.value(com1)) : std::nullopt,
                positional,
                parser.isSet(addresses) ? std::optional(parser.value(addresses)) : std::nullopt);
  return request;
}

std::string ListText(Command command, bool json) {
  std::string text;
  if (command == Command::Query) {
    for (const link::StatusQuery& query : link::StatusQueries()) {
      text += ListLine(query.name, query.code, link::ReplyWindowOf(query.timing), json);
    }
  } else {
    for (const link::OneShotCommand& key : link::OneShotCommands()) {
      text += ListLine(key.name, key.code, link::ReplyWindowOf(key.timing), json);
    }
  }
  return text;
}

std::string HelpText(Command command) {
  const std::string common =
      "  ADDRESS          a projector's port: a device such as /dev/ttyUSB0, as the panel\n"
      "                   takes it, or a device server: tcp://HOST:PORT carries the bytes as\n"
      "                   they are, rfc2217://HOST:PORT speaks telnet and sets the line\n"
      "  --com1 DEVICE    one more address, first in the output\n"
      "  --addresses FILE more addresses, one a line; # starts a comment anywhere on a line.\n"
      "                   At most " +
      std::to_string(kMostAddressLines) + " lines of at most " +
      std::to_string(kLongestAddressLine) +
      " bytes each\n"
      "  --speed BAUD     19200 (the default) or 9600\n"
      "  --json           one JSON object a projector instead of text\n"
      "  --log FILE       append every send and arrival to FILE, one line each\n"
      "  -h, --help       show this text\n"
      "\n"
      "An address is needed: with none, or an --addresses file that names none, nothing is\n"
      "sent and the exit status is 2.\n"
      "An address named twice, or two paths to one device, is asked once. Several\n"
      "projectors are asked side by side, at most " +
      std::to_string(kMostInFlight) +
      " at a time, each timed from its own\n"
      "send. A device server has " +
      std::to_string(kConnectLimitMs / 1000) +
      " seconds to accept the connection, apart from the\n"
      "reply window. A reply is kept up to " +
      std::to_string(kReplyLimit / 1024) +
      " KB; a longer one is cut there, ends the\n"
      "exchange and does not decode.\n"
      "\n"
      "Output: with one address, the value alone on standard output and why there is none on\n"
      "standard error; with several, one line each in the order given: the address, the\n"
      "result and the value (or why there is none), separated by tabs. The results are\n"
      "decoded, not-decoded, acknowledged, not-acknowledged, no-reply, no-connection,\n"
      "no-port and line-mismatch.\n"
      "\n"
      "Exit status (with several projectors, the highest of theirs):\n"
      "  0  decoded (send: acknowledged)\n"
      "  1  the log file cannot be written\n"
      "  2  the command line or the --addresses file cannot be read\n"
      "  3  a reply came that does not decode (send: that is not an acknowledgement)\n"
      "  4  no reply within the reply window\n"
      "  5  the port cannot be opened, no connection was made, the line was lost, or a\n"
      "     device server set the line otherwise than asked (RFC 2217)\n";
  if (command == Command::Query) {
    return "Usage: mero-control query NAME [ADDRESS...] [--com1 DEVICE] [--addresses FILE]\n"
           "                          [--speed BAUD] [--json] [--log FILE]\n"
           "       mero-control query --list [--json]\n"
           "Sends the status query NAME, waits for the reply within the query's reply window,\n"
           "and prints the value decoded: \"Stand by\", \"1234 hours\", \"650 hPa\", the model.\n"
           "--json adds the panel's status line for the same reply, the reply itself and its\n"
           "figures.\n"
           "\n"
           "  NAME             a status query: status, lamp-hours, temperatures, ...\n"
           "  --list           list the status queries with their bytes and reply windows\n" +
           common;
  }
  return "Usage: mero-control send NAME [ADDRESS...] [--com1 DEVICE] [--addresses FILE]\n"
         "                         [--speed BAUD] [--json] [--log FILE]\n"
         "       mero-control send --raw TEXT [ADDRESS...] [options]\n"
         "       mero-control send --list [--json]\n"
         "Sends the command of the key NAME, waits for the acknowledgement within the key's\n"
         "reply window and prints \"ACK\", or the status a status key is answered with.\n"
         "\n"
         "  NAME             a key: power-on, input-pc1, mute-on, ...\n"
         "  --raw TEXT       send TEXT and a CR, as the panel's command entry does; \\r, \\n,\n"
         "                   \\t, \\xNN and \\\\ are read as those bytes, and a TEXT that ends\n"
         "                   with \\r gets no second CR. At most " +
         std::to_string(kLongestRaw) +
         " bytes\n"
         "  --list           list the keys with their bytes and reply windows\n" +
         common;
}

}  // namespace mero::cli
