// What an exchange's outcome comes to: the plain value of each reply, the figures against the
// window's own decoding, and the result, exit code and words of every way an exchange ends.

#include <gtest/gtest.h>

#include <QJsonArray>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/verdict.h"
#include "link/protocol/monitor_text.h"
#include "link/protocol/reply_decoding.h"

namespace mero::cli {
namespace {

Message MessageOf(std::string_view command, std::string_view name) {
  const std::vector<std::string_view> args{command, name, "/dev/ttyUSB0"};
  const Request request = ParseRequest(args);
  EXPECT_EQ(request.error, "") << name;
  return request.message;
}

Outcome Replied(link::Bytes reply) {
  Outcome outcome;
  outcome.stage = Outcome::Stage::Sent;
  outcome.received = std::move(reply);
  outcome.replyMs = 1.25;
  return outcome;
}

// The value text output prints, one row a form.
TEST(CliVerdict, EachReplyHasItsPlainValue) {
  const struct {
    const char* name;
    link::Bytes reply;
    std::optional<std::string> value;
  } cases[] = {
      {"status", "80\r", "Stand by"},
      {"status", "24\r", "Cooling down  PWR Management"},  // the table's own blanks stay
      {"status", "99\r", std::nullopt},
      {"input", "1\r", "Computer 1"},
      {"image-reversal", "10\r", "Top/Bottom reversal"},
      {"mute", "FF\r", "Stand by"},
      {"mute", "ff\r", std::nullopt},
      {"lamp-mode", "03\r", "No1,2 ON  : 2 Lamp mode"},
      {"lamp-hours", "01234\r", "1234 hours"},
      {"lamp-hours", "\x15\r", std::nullopt},
      {"temperatures", "+25.5  30.1 -12.5\r", "S1 25.5 C, S2 30.1 C, S3 -12.5 C"},
      {"temperatures", "-05.0  07.5 +28.0\r", "S1 -5.0 C, S2 7.5 C, S3 28.0 C"},
      {"temperatures", "+25.5  xx.1 -12.5\r", std::nullopt},
      {"pressure", "1000\r", "1169 hPa"},
      {"pressure", "1e400\r", std::nullopt},
      {"model", "QM50 VIRTUAL 1.40\r", "QM50 VIRTUAL 1.40"},
      {"model", " QM70 \r", "QM70"},
      {"model", "QM50 VIRTUAL", std::nullopt},  // cut short by the window
      {"model", "\x15\r", std::nullopt},
      {"model", "\r", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + link::MonitorText(c.reply));
    const Message message = MessageOf("query", c.name);
    EXPECT_EQ(PlainValue(message, c.reply), c.value);
    const Verdict verdict = Judge(message, "/dev/x", Replied(c.reply));
    EXPECT_EQ(verdict.value, c.value);
    EXPECT_EQ(verdict.result, c.value ? Result::Decoded : Result::NotDecoded);
    // JSON keeps the panel's status line beside the value.
    const auto status = link::DecodeReply(link::MonitorText(c.reply), message.text, "").status;
    EXPECT_EQ(verdict.json["status"].toString().toLatin1().toStdString(), status.value_or(""));
    EXPECT_EQ(verdict.json["value"].toString().toLatin1().toStdString(), c.value.value_or(""));
  }
}

TEST(CliVerdict, FiguresAreThoseOfTheStatusLine) {
  const struct {
    const char* name;
    link::Bytes reply;
    const char* field;
    QJsonValue value;
  } cases[] = {
      {"lamp-hours", "01234\r", "hours", 1234},
      {"lamp-hours", "\x15\r", "hours", QJsonValue::Undefined},
      {"temperatures", "+25.5  30.1 -12.5\r", "degrees", QJsonArray{25.5, 30.1, -12.5}},
      {"temperatures", "+25.5  xx.1 -12.5\r", "degrees", QJsonArray{25.5, QJsonValue(), -12.5}},
      {"temperatures", "+25\r", "degrees", QJsonValue::Undefined},
      {"pressure", "1000\r", "hPa", 1169},
      {"pressure", "1e400\r", "hPa", QJsonValue::Undefined},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + link::MonitorText(c.reply));
    const Verdict verdict = Judge(MessageOf("query", c.name), "/dev/x", Replied(c.reply));
    EXPECT_EQ(verdict.json[c.field], c.value);
    if (c.value.isDouble()) {  // the value shows the same figure
      EXPECT_NE(verdict.value.value_or("").find(std::to_string(c.value.toInteger())),
                std::string::npos);
    }
    EXPECT_EQ(verdict.json["reply"].toString().toLatin1().toStdString(), c.reply);
    EXPECT_EQ(verdict.json["replyMs"].toDouble(), 1.3);
  }
}

// Every way an exchange ends, with its result, exit code and words; "sent" only when the
// command went out.
TEST(CliVerdict, EachEndHasItsResultAndWords) {
  using Kind = link::LineFailure::Kind;
  const auto failed = [](Outcome::Stage stage, link::LineFailure failure,
                         link::Bytes received = {}) {
    Outcome outcome;
    outcome.stage = stage;
    outcome.failure = std::move(failure);
    outcome.received = std::move(received);
    return outcome;
  };
  Outcome noDescriptors = failed(Outcome::Stage::Opening, {Kind::Busy});
  noDescriptors.descriptorLimit = 64;
  Outcome cut = Replied(std::string(kReplyLimit, 'A'));
  cut.cut = true;
  Outcome mismatch = Replied("80\r");
  mismatch.lineNotice = "the server set the line to the speed 9600 instead of 19200";
  Outcome mismatchSilent;
  mismatchSilent.stage = Outcome::Stage::Sent;
  mismatchSilent.lineNotice = "the server does not take line settings (RFC 2217)";
  const link::Bytes telnet =
      "\xFF\xFB\x03\xFF\xFD\x03"
      "80\r";

  const struct {
    const char* what;
    const char* command;
    const char* name;
    const char* address;
    Outcome outcome;
    Result result;
    int exitCode;
    bool sent;
    std::optional<std::string> value;
    std::string problem;
  } cases[] = {
      {"decoded", "query", "status", "/dev/x", Replied("80\r"), Result::Decoded, 0, true,
       "Stand by", ""},
      {"acknowledged", "send", "power-on", "/dev/x", Replied("\x06\r"), Result::Acknowledged, 0,
       true, "ACK", ""},
      {"a status key answered with its status", "send", "status", "/dev/x", Replied("80\r"),
       Result::Acknowledged, 0, true, "Stand by", ""},
      {"refused", "send", "power-on", "/dev/x", Replied("\x15\r"), Result::NotAcknowledged, 3, true,
       std::nullopt, "the reply \"\\x15\\r\" to C00 is not an acknowledgement"},
      {"silent", "query", "status", "/dev/x", Replied(""), Result::NoReply, 4, true, std::nullopt,
       "no reply to CR0 within 500 ms"},
      {"telnet on a raw TCP address", "query", "status", "tcp://h:7001", Replied(telnet),
       Result::NotDecoded, 3, true, std::nullopt,
       "the reply \"\\xFF\\xFB\\x03\\xFF\\xFD\\x0380\\r\" to CR0 fits no status (the server "
       "speaks telnet: name it rfc2217://h:7001)"},
      {"a raw port named rfc2217://", "query", "status", "rfc2217://h:7000", Replied("\x15\r"),
       Result::NotDecoded, 3, true, std::nullopt,
       "the reply \"\\x15\\r\" to CR0 fits no status (if the server's port carries the bytes as "
       "they are, without telnet, name it tcp://h:7000)"},
      {"cut", "query", "model", "/dev/x", cut, Result::NotDecoded, 3, true, std::nullopt,
       "the reply to CR9 was cut at 1024 bytes without its end: \"" + std::string(64, 'A') +
           "... (1024 bytes)\""},
      {"no connection", "query", "status", "tcp://h:7000",
       failed(Outcome::Stage::Connecting,
              {Kind::Unreachable, "it did not answer within 5 seconds"}),
       Result::NoConnection, 5, false, std::nullopt,
       "no connection: it did not answer within 5 seconds"},
      {"absent", "query", "status", "/dev/ttyUSB9", failed(Outcome::Stage::Opening, {Kind::Absent}),
       Result::NoPort, 5, false, std::nullopt, "there is no such device"},
      {"a device server without its scheme", "query", "status", "hall:7000",
       failed(Outcome::Stage::Opening, {Kind::Absent}), Result::NoPort, 5, false, std::nullopt,
       "there is no such device; a device server is named tcp://hall:7000 or "
       "rfc2217://hall:7000"},
      {"no descriptor left", "query", "status", "/dev/x", noDescriptors, Result::NoPort, 5, false,
       std::nullopt,
       "no file descriptor left to open it (this process may have 64 open): raise the limit with "
       "ulimit -n"},
      {"not written", "query", "status", "tcp://h:7000",
       failed(Outcome::Stage::Open, {Kind::Lost, "the server stopped reading"}), Result::NoPort, 5,
       false, std::nullopt, "could not send to it: the server stopped reading"},
      {"a device server's own refusal", "query", "status", "tcp://h:7000",
       failed(Outcome::Stage::Sent, {Kind::Lost}, "Port's device already in use\r\n"),
       Result::NoPort, 5, true, std::nullopt,
       "the server closed the connection after sending \"Port's device already in use\""},
      {"a line set otherwise", "query", "status", "rfc2217://h:7001", mismatch,
       Result::LineMismatch, 5, true, "Stand by",
       "the server set the line to the speed 9600 instead of 19200"},
      {"a line not set, and no reply", "query", "status", "rfc2217://h:7001", mismatchSilent,
       Result::LineMismatch, 5, true, std::nullopt,
       "the server does not take line settings (RFC 2217); no reply to CR0 within 500 ms"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Verdict verdict = Judge(MessageOf(c.command, c.name), c.address, c.outcome);
    EXPECT_EQ(ResultWord(verdict.result), ResultWord(c.result));
    EXPECT_EQ(verdict.exitCode, c.exitCode);
    EXPECT_EQ(verdict.json["exitCode"].toInt(), c.exitCode);
    EXPECT_EQ(verdict.json["result"].toString().toStdString(), ResultWord(c.result));
    EXPECT_EQ(verdict.json.contains("sent"), c.sent);
    EXPECT_EQ(verdict.value, c.value);
    EXPECT_EQ(verdict.problem, c.problem);
    EXPECT_EQ(verdict.json["error"].toString().toStdString(), c.problem);
    EXPECT_EQ(verdict.line(), c.problem.empty() ? c.value.value_or("") : c.problem);
  }
  EXPECT_EQ(Judge(MessageOf("query", "model"), "/dev/x", cut).json["reply"].toString().size(),
            static_cast<qsizetype>(kReplyLimit));
}

}  // namespace
}  // namespace mero::cli
