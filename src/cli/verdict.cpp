#include "cli/verdict.h"

#include <QJsonArray>
#include <QString>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "cli/addresses.h"
#include "cli/plain_text.h"
#include "link/port/network_address.h"
#include "link/port/port_discovery.h"
#include "link/port/traffic_log.h"
#include "link/protocol/monitor_text.h"
#include "link/protocol/reply_decoding.h"
#include "link/protocol/status.h"

namespace mero::cli {
namespace {

constexpr char kAck = 6;
constexpr double kTenths = 10.0;
// Telnet's "interpret as command" and the option verbs after it (WILL, WONT, DO, DONT).
constexpr unsigned char kIac = 255;
constexpr unsigned char kFirstVerb = 251;

// Bytes as JSON text: one character a byte (Latin-1), so that every byte value comes back.
QString Latin1(std::string_view bytes) {
  return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

QString Utf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

// ---- Plain values, by the query's code ----

struct Reading {
  std::string_view reply;
  std::string shown;  // the monitor text the panel decodes
  link::Bytes sent;
  link::ProjectorStatus status;  // what the reply told
};

// A status from a table, without the blanks the status line puts around it.
std::optional<std::string> TableStatus(const Reading& r) {
  const std::optional<std::string> status = link::DecodeReply(r.shown, r.sent, "").status;
  if (!status) return std::nullopt;
  return std::string(TrimBlanks(*status));
}

std::optional<std::string> LampHours(const Reading& r) {
  if (!r.status.lampHours) return std::nullopt;
  return std::to_string(*r.status.lampHours) + " hours";
}

std::optional<std::string> Temperatures(const Reading& r) {
  const auto& degrees = r.status.degrees;
  std::string out;
  for (std::size_t i = 0; i < degrees.size(); ++i) {
    if (!degrees[i]) return std::nullopt;
    std::array<char, 64> figure{};
    std::snprintf(figure.data(), figure.size(), "%sS%zu %.1f C", i == 0 ? "" : ", ", i + 1,
                  *degrees[i]);
    out += figure.data();
  }
  return out;
}

std::optional<std::string> Pressure(const Reading& r) {
  if (!r.status.hPa) return std::nullopt;
  return std::to_string(*r.status.hPa) + " hPa";
}

std::optional<std::string> Model(const Reading& r) { return r.status.model; }

struct PlainForm {
  std::string_view code;
  std::optional<std::string> (*form)(const Reading&);
};

constexpr std::array<PlainForm, 9> kPlainForms{{
    {"CR0", TableStatus},
    {"CR1", TableStatus},
    {"CR4", TableStatus},
    {"CRA", TableStatus},
    {"CR7", TableStatus},
    {"CR3", LampHours},
    {"CR6", Temperatures},
    {"CR9", Model},
    {"CR PRESSURE", Pressure},
}};

const PlainForm* FormOf(const Message& message) {
  const auto form = std::ranges::find_if(kPlainForms, [&](const PlainForm& f) {
    return link::CommandText("", f.code) == message.text;
  });
  return form == kPlainForms.end() ? nullptr : &*form;
}

// What the reply told, when the message is a status query.
link::ProjectorStatus StatusOf(const Message& message, std::string_view reply) {
  link::ProjectorStatus status;
  if (const PlainForm* form = FormOf(message)) link::FoldReply(status, form->code, reply);
  return status;
}

// ---- Texts ----

int ExitCodeOf(Result result) {
  switch (result) {
    case Result::Decoded:
    case Result::Acknowledged:
      return kExitDone;
    case Result::NotDecoded:
    case Result::NotAcknowledged:
      return kExitNotDecoded;
    case Result::NoReply:
      return kExitNoReply;
    case Result::NoConnection:
    case Result::NoPort:
    case Result::LineMismatch:
      break;
  }
  return kExitNoPort;
}

// HOST:PORT without a scheme: meant for a device server, read as a device path.
bool LooksLikeHostAndPort(std::string_view address) {
  const std::size_t colon = address.rfind(':');
  if (colon == std::string_view::npos || colon == 0 ||
      address.find('/') != std::string_view::npos) {
    return false;
  }
  const std::string_view port = address.substr(colon + 1);
  return !port.empty() && std::ranges::all_of(port, [](char c) { return c >= '0' && c <= '9'; });
}

std::string OpenFailure(const link::LineFailure& failure, std::string_view address) {
  using Kind = link::LineFailure::Kind;
  switch (failure.kind) {
    case Kind::Absent:
      if (LooksLikeHostAndPort(address)) {
        return "there is no such device; a device server is named tcp://" + std::string(address) +
               " or rfc2217://" + std::string(address);
      }
      return "there is no such device";
    case Kind::Busy:
      return failure.holder.empty() ? "in use by another program"
                                    : "in use by another program (" + failure.holder + ")";
    case Kind::NoPermission:
      if (failure.group.empty()) return "no permission to use it";
      return "no permission to use it: it belongs to the group \"" + failure.group +
             "\"; add your user to that group, then log in again";
    case Kind::Unreachable:
      return "no connection: " + failure.detail;
    case Kind::Invalid:
      return failure.detail;
    case Kind::Lost:
      return "it went away as it was opened";
    case Kind::Other:
      break;
  }
  return "it cannot be opened: " + (failure.detail.empty() ? "unknown error" : failure.detail);
}

// What a peer said before it went: a device server's own refusal ("Port's device already in
// use") comes as text, then the connection closes.
std::string LostFailure(std::string_view address, std::string_view received) {
  std::string text = link::LooksLikeNetworkAddress(address) ? "the server closed the connection"
                                                            : "the device went away";
  while (!received.empty() && (received.back() == '\r' || received.back() == '\n')) {
    received.remove_suffix(1);
  }
  if (!received.empty()) text += " after sending \"" + Excerpt(received) + "\"";
  return text;
}

bool SpeaksTelnet(std::string_view reply) {
  for (std::size_t i = 0; i + 1 < reply.size(); ++i) {
    if (static_cast<unsigned char>(reply[i]) == kIac &&
        static_cast<unsigned char>(reply[i + 1]) >= kFirstVerb) {
      return true;
    }
  }
  return false;
}

// A reply that does not decode, when the address's scheme may be why.
std::string SchemeHint(std::string_view address, std::string_view reply) {
  const auto network = link::ParseNetworkAddress(address);
  if (!network) return {};
  if (network->kind == link::NetworkAddress::Kind::Rfc2217) {
    return " (if the server's port carries the bytes as they are, without telnet, name it "
           "tcp://" +
           std::string(address.substr(address.find("://") + 3)) + ")";
  }
  if (SpeaksTelnet(reply)) {
    return " (the server speaks telnet: name it rfc2217://" +
           std::string(address.substr(address.find("://") + 3)) + ")";
  }
  return {};
}

void AddFigures(QJsonObject& json, const link::ProjectorStatus& status) {
  if (status.lampHours) json[QStringLiteral("hours")] = static_cast<qint64>(*status.lampHours);
  if (status.hPa) json[QStringLiteral("hPa")] = static_cast<qint64>(*status.hPa);
  bool anyDegrees = false;
  QJsonArray degrees;
  for (const std::optional<double>& value : status.degrees) {
    degrees.append(value ? QJsonValue(*value) : QJsonValue());
    anyDegrees = anyDegrees || value.has_value();
  }
  if (anyDegrees) json[QStringLiteral("degrees")] = degrees;
}

// A reply that came within the window, whole or cut.
void JudgeReply(const Message& message, std::string_view address, const Outcome& outcome,
                Verdict& verdict) {
  QJsonObject& json = verdict.json;
  const std::string code = Escaped(message.code);
  const std::string& reply = outcome.received;
  const std::string shown = link::MonitorText(reply);
  json[QStringLiteral("reply")] = Latin1(reply);
  json[QStringLiteral("replyHex")] = Latin1(link::Hex(reply));
  json[QStringLiteral("received")] = Latin1(shown);
  json[QStringLiteral("replyMs")] = std::round(outcome.replyMs * kTenths) / kTenths;
  if (outcome.cut) {
    json[QStringLiteral("cut")] = true;
    verdict.result = message.decoded ? Result::NotDecoded : Result::NotAcknowledged;
    verdict.problem = "the reply to " + code + " was cut at " + std::to_string(kReplyLimit) +
                      " bytes without its end: \"" + Excerpt(reply) + "\"";
    return;
  }
  if (const std::optional<std::string> status = link::DecodeReply(shown, message.text, "").status) {
    json[QStringLiteral("status")] = Latin1(*status);
  }
  AddFigures(json, StatusOf(message, reply));
  const std::optional<std::string> value = PlainValue(message, reply);
  if (message.decoded) {
    verdict.result = value ? Result::Decoded : Result::NotDecoded;
    verdict.value = value;
    if (!value) {
      verdict.problem = "the reply \"" + Excerpt(reply) + "\" to " + code + " fits no status" +
                        SchemeHint(address, reply);
    }
  } else {
    // A status key is answered with its status rather than an ACK.
    const bool acknowledged = reply.front() == kAck || value.has_value();
    verdict.result = acknowledged ? Result::Acknowledged : Result::NotAcknowledged;
    json[QStringLiteral("acknowledged")] = acknowledged;
    if (acknowledged) {
      verdict.value = reply.front() == kAck ? std::string("ACK") : *value;
    } else {
      verdict.problem = "the reply \"" + Excerpt(reply) + "\" to " + code +
                        " is not an acknowledgement" + SchemeHint(address, reply);
    }
  }
  if (verdict.value) json[QStringLiteral("value")] = Latin1(*verdict.value);
}

}  // namespace

std::string_view ResultWord(Result result) {
  switch (result) {
    case Result::Decoded:
      return "decoded";
    case Result::NotDecoded:
      return "not-decoded";
    case Result::Acknowledged:
      return "acknowledged";
    case Result::NotAcknowledged:
      return "not-acknowledged";
    case Result::NoReply:
      return "no-reply";
    case Result::NoConnection:
      return "no-connection";
    case Result::LineMismatch:
      return "line-mismatch";
    case Result::NoPort:
      break;
  }
  return "no-port";
}

std::optional<std::string> PlainValue(const Message& message, std::string_view reply) {
  const PlainForm* form = FormOf(message);
  if (form == nullptr) return std::nullopt;
  return form->form({reply, link::MonitorText(reply), message.text, StatusOf(message, reply)});
}

Verdict Judge(const Message& message, std::string_view address, const Outcome& outcome) {
  Verdict verdict;
  QJsonObject& json = verdict.json;
  json[QStringLiteral("address")] = Utf8(link::ShowPath(std::string(address)));
  json[QStringLiteral("name")] = Utf8(message.name);
  json[QStringLiteral("command")] = Latin1(message.code);
  json[QStringLiteral("windowMs")] = message.replyWindowMs;
  const bool sent = outcome.stage == Outcome::Stage::Sent;
  // Only what went on the line: a connection never made sent nothing.
  if (sent) json[QStringLiteral("sent")] = Latin1(message.text);

  if (outcome.failure && !sent) {
    if (outcome.stage == Outcome::Stage::Connecting) {
      verdict.result = Result::NoConnection;
      json[QStringLiteral("connectLimitMs")] = kConnectLimitMs;
    } else {
      verdict.result = Result::NoPort;
    }
    const std::string& detail = outcome.failure->detail;
    verdict.problem = outcome.stage != Outcome::Stage::Open ? OpenFailure(*outcome.failure, address)
                      : detail.empty()                      ? "could not send to it"
                                                            : "could not send to it: " + detail;
    if (outcome.descriptorLimit) {
      verdict.problem = "no file descriptor left to open it (this process may have " +
                        std::to_string(*outcome.descriptorLimit) +
                        " open): raise the limit with ulimit -n";
    }
  } else if (outcome.failure) {
    verdict.result = Result::NoPort;
    verdict.problem = LostFailure(address, outcome.received);
    if (!outcome.received.empty()) json[QStringLiteral("reply")] = Latin1(outcome.received);
  } else if (outcome.received.empty()) {
    verdict.result = Result::NoReply;
    verdict.problem = "no reply to " + Escaped(message.code) + " within " +
                      std::to_string(message.replyWindowMs) + " ms";
  } else {
    JudgeReply(message, address, outcome, verdict);
  }
  if (!outcome.lineNotice.empty()) {
    // The reply, if any, came over a line not set as asked.
    verdict.result = Result::LineMismatch;
    verdict.problem = outcome.lineNotice + (verdict.problem.empty() ? "" : "; " + verdict.problem);
    json[QStringLiteral("notice")] = Utf8(outcome.lineNotice);
  }
  verdict.exitCode = ExitCodeOf(verdict.result);
  json[QStringLiteral("result")] = Latin1(ResultWord(verdict.result));
  json[QStringLiteral("exitCode")] = verdict.exitCode;
  if (!verdict.problem.empty()) json[QStringLiteral("error")] = Utf8(verdict.problem);
  return verdict;
}

}  // namespace mero::cli
