// The figures of a decoded reply, against the window's own decoding of the same reply.

#include <gtest/gtest.h>

#include <QJsonArray>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/verdict.h"
#include "link/protocol/monitor_text.h"
#include "link/protocol/reply_decoding.h"

namespace mero::cli {
namespace {

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
    const std::string shown = link::MonitorText(c.reply);
    SCOPED_TRACE(std::string(c.name) + shown);
    const std::vector<std::string_view> args{"query", c.name};
    const Message message = ParseRequest(args).message;
    const Verdict verdict = Judge(message, "/dev/x", {true, "", c.reply, 1.25});
    ASSERT_EQ(verdict.line, link::DecodeReply(shown, message.text, "").status.value_or(""));
    EXPECT_EQ(verdict.json[c.field], c.value);
    if (c.value.isDouble()) {  // the status line shows the same figure
      std::string line = verdict.line;
      std::erase(line, ' ');
      EXPECT_NE(line.find(std::to_string(c.value.toInteger())), std::string::npos);
    }
    EXPECT_EQ(verdict.json["reply"].toString().toLatin1().toStdString(), c.reply);
    EXPECT_EQ(verdict.json["replyMs"].toDouble(), 1.3);
  }
}

}  // namespace
}  // namespace mero::cli
