#include "cli/verdict.h"

#include <QJsonArray>
#include <QString>
#include <cmath>
#include <cstdint>
#include <optional>

#include "link/protocol/monitor_text.h"
#include "link/port/port_discovery.h"
#include "link/protocol/reply_decoding.h"
#include "link/port/traffic_log.h"

namespace mero::cli {
namespace {

constexpr char kAck = 6;
constexpr double kTenths = 10.0;

// Bytes as JSON text: one character a byte (Latin-1), so that every byte value comes back.
QString Latin1(std::string_view bytes) {
  return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

QString Utf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

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
    case Result::NoPort:
      break;
  }
  return kExitNoPort;
}

void AddFigures(QJsonObject& json, const link::ReplyFigures& figures) {
  if (figures.hours) json[QStringLiteral("hours")] = static_cast<qint64>(*figures.hours);
  if (figures.hPa) json[QStringLiteral("hPa")] = static_cast<qint64>(*figures.hPa);
  bool anyDegrees = false;
  QJsonArray degrees;
  for (const std::optional<double>& value : figures.degrees) {
    degrees.append(value ? QJsonValue(*value) : QJsonValue());
    anyDegrees = anyDegrees || value.has_value();
  }
  if (anyDegrees) json[QStringLiteral("degrees")] = degrees;
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
    case Result::NoPort:
      break;
  }
  return "no-port";
}

Verdict Judge(const Message& message, std::string_view address, const Outcome& outcome) {
  Verdict verdict;
  QJsonObject& json = verdict.json;
  json[QStringLiteral("address")] = Utf8(link::ShowPath(std::string(address)));
  json[QStringLiteral("name")] = Utf8(message.name);
  json[QStringLiteral("command")] = Latin1(message.code);
  json[QStringLiteral("sent")] = Latin1(message.text);
  json[QStringLiteral("windowMs")] = message.replyWindowMs;

  const std::string shown = link::MonitorText(outcome.received);
  const std::string quoted = "the reply \"" + shown + "\" to " + link::ShowPath(message.code);
  if (!outcome.failure.empty()) {
    verdict.result = Result::NoPort;
    verdict.line = verdict.problem = outcome.failure;
  } else if (outcome.received.empty()) {
    verdict.result = Result::NoReply;
    verdict.line = "no reply within " + std::to_string(message.replyWindowMs) + " ms";
    verdict.problem = "no reply to " + link::ShowPath(message.code) + " within " +
                      std::to_string(message.replyWindowMs) + " ms";
  } else if (message.decoded) {
    const std::optional<std::string> status = link::DecodeReply(shown, message.text, "").status;
    if (status) {
      verdict.result = Result::Decoded;
      verdict.line = *status;
      json[QStringLiteral("status")] = Latin1(*status);
      AddFigures(json, link::ReadFigures(shown, message.text, ""));
    } else {
      verdict.result = Result::NotDecoded;
      verdict.line = shown;
      verdict.problem = quoted + " fits no status";
    }
  } else {
    // A status key is answered with its status rather than an ACK.
    const bool acknowledged = outcome.received.front() == kAck ||
                              link::DecodeReply(shown, message.text, "").status.has_value();
    verdict.result = acknowledged ? Result::Acknowledged : Result::NotAcknowledged;
    verdict.line = shown;
    if (!acknowledged) verdict.problem = quoted + " is not an acknowledgement";
    json[QStringLiteral("acknowledged")] = acknowledged;
  }
  if (!outcome.received.empty()) {
    json[QStringLiteral("reply")] = Latin1(outcome.received);
    json[QStringLiteral("replyHex")] = Latin1(link::Hex(outcome.received));
    json[QStringLiteral("received")] = Latin1(shown);
    json[QStringLiteral("replyMs")] = std::round(outcome.replyMs * kTenths) / kTenths;
  }
  verdict.exitCode = ExitCodeOf(verdict.result);
  json[QStringLiteral("result")] = Latin1(ResultWord(verdict.result));
  json[QStringLiteral("exitCode")] = verdict.exitCode;
  if (!verdict.problem.empty()) json[QStringLiteral("error")] = Utf8(verdict.problem);
  return verdict;
}

}  // namespace mero::cli
