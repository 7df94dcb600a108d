#include "link/protocol/reply_decoding.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "link/protocol/monitor_text.h"
#include "link/protocol/status.h"

namespace mero::link {
namespace {

// Decodes everything received so far (raw bytes, as the receive buffer holds them) after the
// query `code` was sent without prefix.
DecodedReply ReplyToReceived(std::string_view code, std::string_view received) {
  return DecodeReply(MonitorText(received), std::string(code) + "\r", "");
}

std::optional<std::string> DecodeReceived(std::string_view code, std::string_view received) {
  return ReplyToReceived(code, received).status;
}

// ---- Tables ----

struct RowCase {
  const char* query;
  const char* reply;  // the reply characters, without the closing CR
  const char* status;
};

void PrintTo(const RowCase& c, std::ostream* os) { *os << c.query << " \"" << c.reply << "\""; }

class ReplyTableRowTest : public ::testing::TestWithParam<RowCase> {};

TEST_P(ReplyTableRowTest, FullReplyShowsItsRowText) {
  const RowCase& c = GetParam();
  const DecodedReply reply = ReplyToReceived(c.query, std::string(c.reply) + "\r");
  EXPECT_EQ(reply.status, std::optional<std::string>(c.status))
      << "query " << c.query << ", reply \"" << c.reply << "\"";
  EXPECT_EQ(reply.pressure, std::nullopt);
  ProjectorStatus status;
  EXPECT_TRUE(FoldReply(status, c.query, std::string(c.reply) + "\r"));
}

INSTANTIATE_TEST_SUITE_P(
    PowerStatus, ReplyTableRowTest,
    ::testing::Values(RowCase{"CR0", "00", " Power ON"}, RowCase{"CR0", "80", " Stand by"},
                      RowCase{"CR0", "40", " Count down"}, RowCase{"CR0", "20", " Cooling down"},
                      RowCase{"CR0", "10", " Power Fail"},
                      RowCase{"CR0", "08", " Temperature Warning"},
                      RowCase{"CR0", "02", " NO Key input "},
                      RowCase{"CR0", "04", " Lamp OFF by PWR Management"},
                      RowCase{"CR0", "28", " Temperature Warning & cooling down"},
                      RowCase{"CR0", "24", "Cooling down  PWR Management"},
                      RowCase{"CR0", "88", " Temperature Warning and recoverd"},
                      RowCase{"CR0", "21", " Cooling down (All Lamp FAIL)"},
                      RowCase{"CR0", "81", " Cooling down & sutandby (All Lamp FAIL)"}));

INSTANTIATE_TEST_SUITE_P(Input, ReplyTableRowTest,
                         ::testing::Values(RowCase{"CR1", "1", " Computer 1"},
                                           RowCase{"CR1", "2", " Computer 2"},
                                           RowCase{"CR1", "3", " Video"},
                                           RowCase{"CR1", "4", " Input mode 4"}));

INSTANTIATE_TEST_SUITE_P(ImageReversal, ReplyTableRowTest,
                         ::testing::Values(RowCase{"CR4", "11", " Normally"},
                                           RowCase{"CR4", "10", " Top/Bottom reversal"},
                                           RowCase{"CR4", "01", " Left/Right reversal"},
                                           RowCase{"CR4", "00",
                                                   " Top/Bottom , Left/Right reversal"}));

INSTANTIATE_TEST_SUITE_P(MuteAndSignal, ReplyTableRowTest,
                         ::testing::Values(RowCase{"CRA", "00", " Video & Audio mute OFF"},
                                           RowCase{"CRA", "01", " Video mute ON"},
                                           RowCase{"CRA", "02", " Audio mute ON"},
                                           RowCase{"CRA", "03", " Video & Audio mute ON"},
                                           RowCase{"CRA", "80", " No signal"},
                                           RowCase{"CRA", "FF", " Stand by"}));

INSTANTIATE_TEST_SUITE_P(LampMode, ReplyTableRowTest,
                         ::testing::Values(RowCase{"CR7", "00", " All OFF : 2 Lamp mode"},
                                           RowCase{"CR7", "01", " No1 ON  : 2 Lamp mode"},
                                           RowCase{"CR7", "02", " No2 ON  : 2 Lamp mode"},
                                           RowCase{"CR7", "03", " No1,2 ON  : 2 Lamp mode"},
                                           RowCase{"CR7", "10", " All OFF : 1 Lamp mode(No1 USE)"},
                                           RowCase{"CR7", "11", " No1 ON  : 1 Lamp mode(No1 USE)"},
                                           RowCase{"CR7", "20", " All OFF : 1 Lamp mode(No2 USE)"},
                                           RowCase{"CR7", "22",
                                                   " No2 ON  : 1 Lamp mode(No2 USE)"}));

// Received texts that fit no row of the query's table.
struct NoRowCase {
  const char* query;
  const char* received;
};

void PrintTo(const NoRowCase& c, std::ostream* os) {
  *os << c.query << " " << ::testing::PrintToString(std::string(c.received));
}

class ReplyNoRowTest : public ::testing::TestWithParam<NoRowCase> {};

TEST_P(ReplyNoRowTest, LeavesTheStatusAlone) {
  EXPECT_EQ(DecodeReceived(GetParam().query, GetParam().received), std::nullopt);
  ProjectorStatus status;
  EXPECT_FALSE(FoldReply(status, GetParam().query, GetParam().received));
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ReplyNoRowTest,
    ::testing::Values(
        // A first piece of a reply still arriving: the key is not complete yet.
        NoRowCase{"CR0", ""}, NoRowCase{"CR0", "0"}, NoRowCase{"CRA", "F"}, NoRowCase{"CR1", ""},
        // Codes no table lists.
        NoRowCase{"CR0", "99\r"}, NoRowCase{"CR1", "5\r"}, NoRowCase{"CR1", "0\r"},
        NoRowCase{"CR4", "22\r"}, NoRowCase{"CRA", "04\r"}, NoRowCase{"CR7", "12\r"},
        NoRowCase{"CR7", "33\r"},
        // Hexadecimal letters are compared by character code.
        NoRowCase{"CRA", "ff\r"}, NoRowCase{"CRA", "Ff\r"},
        // A row of another table.
        NoRowCase{"CR4", "80\r"}, NoRowCase{"CR0", "FF\r"},
        // Stale text in front of the reply, an ACK or an unprintable character.
        NoRowCase{"CR0", "12\r00\r"},
        NoRowCase{"CR0",
                  "\x06"
                  "00\r"},
        NoRowCase{"CR7",
                  "\x01"
                  "00\r"},
        NoRowCase{"CR1", "\r3\r"}, NoRowCase{"CR0", " 00\r"},
        // A blank between the two reply characters shifts the second one.
        NoRowCase{"CR0", "0 0\r"}));

TEST(ReplyDecoding, ReplyArrivingInPiecesDecodesOnceTheKeyIsComplete) {
  EXPECT_EQ(DecodeReceived("CR0", "0"), std::nullopt);
  EXPECT_EQ(DecodeReceived("CR0", "00"), " Power ON");
  EXPECT_EQ(DecodeReceived("CR0", "00\r"), " Power ON");
  // Whatever follows the key is ignored.
  EXPECT_EQ(DecodeReceived("CR0", "80\rXYZ"), " Stand by");
  EXPECT_EQ(DecodeReceived("CR1", "3"), " Video");
  EXPECT_EQ(DecodeReceived("CR1", "34\r"), " Video");
}

TEST(ReplyDecoding, ShortShownTextsMatchNoRow) {
  for (const char* query : {"CR0\r", "CR1\r", "CR4\r", "CRA\r", "CR7\r"}) {
    for (std::string_view shown : {"", " ", " 0", " 0 ", " F "}) {
      EXPECT_EQ(DecodeReply(shown, query, "").status, std::nullopt)
          << query << " \"" << shown << "\"";
    }
  }
}

// ---- Recognising the query ----

TEST(ReplyDecoding, OnlyTheExactQueryTextIsRecognised) {
  const std::string shown = MonitorText("00\r");
  for (std::string_view command : {"cr0\r",
                                   "CR0 \r",
                                   " CR0\r",
                                   "CR0",
                                   "CR0\r\r",
                                   "CR0\n",
                                   "CR0\r\n",
                                   "CR00\r",
                                   "Cr0\r",
                                   "C00\r",
                                   "CR2\r",
                                   "CR5\r",
                                   "CR8\r",
                                   "CRB\r",
                                   "cra\r",
                                   "CR\r",
                                   "\r",
                                   "",
                                   "cr pressure\r",
                                   "CR  PRESSURE\r",
                                   "CRPRESSURE\r",
                                   "CR PRESSURE \r",
                                   "CR pressure\r"}) {
    const DecodedReply reply = DecodeReply(shown, command, "");
    EXPECT_EQ(reply.status, std::nullopt) << "command \"" << command << "\"";
    EXPECT_EQ(reply.pressure, std::nullopt) << "command \"" << command << "\"";
  }
}

TEST(ReplyDecoding, EachQueryIsDecodedItsOwnWay) {
  const std::string received = "00\r";
  EXPECT_EQ(DecodeReceived("CR0", received), " Power ON");
  EXPECT_EQ(DecodeReceived("CR4", received), " Top/Bottom , Left/Right reversal");
  EXPECT_EQ(DecodeReceived("CRA", received), " Video & Audio mute OFF");
  EXPECT_EQ(DecodeReceived("CR7", received), " All OFF : 2 Lamp mode");
  EXPECT_EQ(DecodeReceived("CR1", received), std::nullopt);
  EXPECT_EQ(DecodeReceived("CR3", received), " 0 0 CR  Hour Use");
  EXPECT_EQ(DecodeReceived("CR6", received), "  S1= 0 0 CR  C  ,   S2=  C , S3= C");
  EXPECT_EQ(DecodeReceived("CR9", received), " 0 0 CR ");
  EXPECT_EQ(DecodeReceived("CR PRESSURE", received), "106 hPa");
}

TEST(ReplyDecoding, QueryIsRecognisedBehindTheCommandPrefix) {
  const std::string shown = MonitorText("00\r");
  EXPECT_EQ(DecodeReply(shown, "XCR0\r", "X").status, " Power ON");
  EXPECT_EQ(DecodeReply(shown, "ABCR7\r", "AB").status, " All OFF : 2 Lamp mode");
  EXPECT_EQ(DecodeReply(shown, "CR0\r", "X").status, std::nullopt);
  EXPECT_EQ(DecodeReply(shown, "XCR0\r", "").status, std::nullopt);
  EXPECT_EQ(DecodeReply(shown, "xCR0\r", "X").status, std::nullopt);
  EXPECT_EQ(DecodeReply(shown, "XCR0\r", "XC").status, std::nullopt);
  const DecodedReply pressure = DecodeReply(MonitorText("512\r"), "@CR PRESSURE\r", "@");
  EXPECT_EQ(pressure.status, "650 hPa");
  EXPECT_EQ(pressure.pressure, 650);
}

// ---- Lamp hours, temperatures, raw text ----

struct TextCase {
  const char* query;
  std::string received;
  const char* status;
};

void PrintTo(const TextCase& c, std::ostream* os) {
  *os << c.query << " " << ::testing::PrintToString(c.received);
}

class ReplyTextQueryTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(ReplyTextQueryTest, ShowsTheExpectedText) {
  const TextCase& c = GetParam();
  EXPECT_EQ(DecodeReceived(c.query, c.received), std::optional<std::string>(c.status));
}

INSTANTIATE_TEST_SUITE_P(
    LampHours, ReplyTextQueryTest,
    ::testing::Values(
        TextCase{"CR3", "1234\r", " 1 2 3 4 CR  Hour Use"}, TextCase{"CR3", "", "  Hour Use"},
        TextCase{"CR3", "12", " 1 2  Hour Use"},
        // 17 characters and CR make exactly 38 shown characters, the marker included.
        TextCase{"CR3", "12345678901234567\r", " 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 CR  Hour Use"},
        // From 18 characters on the marker is cut, then the figures.
        TextCase{"CR3", "123456789012345678\r", " 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 C Hour Use"},
        TextCase{"CR3", "12345678901234567890123456789\r",
                 " 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 Hour Use"}));

INSTANTIATE_TEST_SUITE_P(
    Temperatures, ReplyTextQueryTest,
    ::testing::Values(TextCase{"CR6", "ABCDEFGHIJKLMNOPQ\r",
                               "  S1= A B C D E C  ,   S2=  H I J K C , S3= M N O P Q C"},
                      TextCase{"CR6", "12345\r", "  S1= 1 2 3 4 5 C  ,   S2=  C , S3= C"},
                      // P2 starts inside the marker and is cut at the end of the shown text.
                      TextCase{"CR6", "1234567\r", "  S1= 1 2 3 4 5 C  ,   S2=  CR  C , S3= C"},
                      TextCase{"CR6", "", "  S1=  C  ,   S2=  C , S3= C"},
                      TextCase{"CR6", "123456789012345678901234\r",
                               "  S1= 1 2 3 4 5 C  ,   S2=  8 9 0 1 C , S3= 3 4 5 6 7 C"}));

INSTANTIATE_TEST_SUITE_P(RawText, ReplyTextQueryTest,
                         ::testing::Values(TextCase{"CR9", "AB\r", " A B CR "},
                                           TextCase{"CR9", "", " "},
                                           TextCase{"CR9", "\x06x{\n", " ACK x ? LF "}));

TEST(ReplyDecoding, TextQueriesReadShownTextsOfAnyLength) {
  const DecodedReply replies[] = {
      DecodeReply("", "CR3\r", ""),
      DecodeReply("", "CR6\r", ""),
      DecodeReply("", "CR9\r", ""),
      DecodeReply("abcdefghijklmno", "CR6\r", ""),
  };
  EXPECT_EQ(replies[0].status, " Hour Use");
  EXPECT_EQ(replies[1].status, "  S1= C  ,   S2=  C , S3= C");
  EXPECT_EQ(replies[2].status, "");
  // Position 15 is the last character: P2 holds it alone, P3 is empty.
  EXPECT_EQ(replies[3].status, "  S1=abcdefghij C  ,   S2= o C , S3= C");
  for (const DecodedReply& reply : replies) EXPECT_EQ(reply.pressure, std::nullopt);
}

// ---- Pressure ----

struct PressureCase {
  std::string shown;
  const char* status;
  std::int64_t pressure;
};

PressureCase Reply(const std::string& raw, const char* status, std::int64_t pressure) {
  return {MonitorText(raw + "\r"), status, pressure};
}

void PrintTo(const PressureCase& c, std::ostream* os) { *os << ::testing::PrintToString(c.shown); }

class ReplyPressureTest : public ::testing::TestWithParam<PressureCase> {};

TEST_P(ReplyPressureTest, ShowsHectopascalAndKeepsThem) {
  const PressureCase& c = GetParam();
  const DecodedReply reply = DecodeReply(c.shown, "CR PRESSURE\r", "");
  EXPECT_EQ(reply.status, std::optional<std::string>(c.status)) << "shown \"" << c.shown << "\"";
  EXPECT_EQ(reply.pressure, c.pressure) << "shown \"" << c.shown << "\"";
}

// Expected figures worked out by hand from hPa = ((5 r / 1024) - 0.204) / 0.00459 + 150 with
// r the reading rounded half to even, e.g. 550: 2750 / 1024 = 2.685546875, minus 0.204 is
// 2.481546875, / 0.00459 = 540.64, + 150 = 690.64 -> 691.
INSTANTIATE_TEST_SUITE_P(Readings, ReplyPressureTest,
                         ::testing::Values(Reply("0", "106 hPa", 106), Reply("100", "212 hPa", 212),
                                           Reply("512", "650 hPa", 650),
                                           Reply("1000", "1169 hPa", 1169),
                                           Reply("1023", "1194 hPa", 1194),
                                           Reply("00512", "650 hPa", 650),
                                           Reply("-3", "102 hPa", 102), Reply("-100", "-1 hPa", -1),
                                           Reply("-99", "0 hPa", 0)));

INSTANTIATE_TEST_SUITE_P(
    NumberForms, ReplyPressureTest,
    ::testing::Values(Reply("+5.5E2", "691 hPa", 691), Reply("5.5D1", "164 hPa", 164),
                      Reply("5.12d2", "650 hPa", 650), Reply("1e2", "212 hPa", 212),
                      Reply("1E+2", "212 hPa", 212), Reply("1000e-1", "212 hPa", 212),
                      Reply(".5e3", "637 hPa", 637), Reply("12e3x", "12871 hPa", 12871),
                      // An exponent letter without digits is not part of the number.
                      Reply("1e", "107 hPa", 107), Reply("1e+", "107 hPa", 107),
                      Reply("1E-C", "107 hPa", 107), Reply("1ee2", "107 hPa", 107),
                      // Reading stops at a second point.
                      Reply("1.2.3", "107 hPa", 107),
                      // Blanks, tabs and line feeds inside the number are dropped.
                      PressureCase{"  5 1 2 CR ", "650 hPa", 650},
                      PressureCase{"5\t1\n2", "650 hPa", 650},
                      PressureCase{" - 3 . 0 E 0 ", "102 hPa", 102}));

INSTANTIATE_TEST_SUITE_P(
    NoNumber, ReplyPressureTest,
    ::testing::Values(PressureCase{"", "106 hPa", 106}, Reply("", "106 hPa", 106),
                      Reply("+", "106 hPa", 106), Reply("-", "106 hPa", 106),
                      Reply(".", "106 hPa", 106), Reply("+.", "106 hPa", 106),
                      Reply("e5", "106 hPa", 106), Reply(".e5", "106 hPa", 106),
                      Reply("abc", "106 hPa", 106), Reply("inf", "106 hPa", 106),
                      Reply("nan", "106 hPa", 106), Reply("0x10", "106 hPa", 106),
                      Reply("\x06"
                            "512",
                            "106 hPa", 106),
                      Reply("1e-400", "106 hPa", 106)));

// The reading is rounded half to even before it is scaled (2.5 -> 2, 3.5 -> 4, -2.5 -> -2).
INSTANTIATE_TEST_SUITE_P(
    ReadingRounding, ReplyPressureTest,
    ::testing::Values(Reply("0.5", "106 hPa", 106), Reply("-0.5", "106 hPa", 106),
                      Reply("1.5", "108 hPa", 108), Reply("2.5", "108 hPa", 108),
                      Reply("3.5", "110 hPa", 110), Reply("-2.5", "103 hPa", 103),
                      Reply("2.5000001", "109 hPa", 109)));

// Readings whose hPa figure falls exactly on a half: 13872 -> 14862.5, 116688 -> 124237.5,
// -30192 -> -32012.5, -44880 -> -47637.5.
INSTANTIATE_TEST_SUITE_P(ResultRounding, ReplyPressureTest,
                         ::testing::Values(Reply("13872", "14862 hPa", 14862),
                                           Reply("116688", "124238 hPa", 124238),
                                           Reply("-30192", "-32012 hPa", -32012),
                                           Reply("-44880", "-47638 hPa", -47638)));

// Readings whose five-fold value leaves the 16-bit range still show their true figure.
INSTANTIATE_TEST_SUITE_P(
    OutOfRange, ReplyPressureTest,
    ::testing::Values(
        Reply("6553", "7077 hPa", 7077), Reply("6554", "7078 hPa", 7078),
        Reply("-6553", "-6865 hPa", -6865), Reply("-6554", "-6867 hPa", -6867),
        Reply("7000", "7552 hPa", 7552), Reply("40000", "42657 hPa", 42657),
        Reply("1e10", "10637935835 hPa", 10637935835),
        // 1e10 again, written with 500 zeros behind the point and an exponent to match.
        Reply("0." + std::string(500, '0') + "1e511", "10637935835 hPa", 10637935835),
        Reply("1e30", "1063793572984749337343917293568 hPa",
              std::numeric_limits<std::int64_t>::max()),
        Reply("-1e30", "-1063793572984749337343917293568 hPa",
              std::numeric_limits<std::int64_t>::min()),
        Reply("-9e30", "-9574142156862743473145302220800 hPa",
              std::numeric_limits<std::int64_t>::min()),
        // Beyond the range of a double the figure is infinite.
        Reply("1e400", "inf hPa", std::numeric_limits<std::int64_t>::max()),
        Reply("-1e400", "-inf hPa", std::numeric_limits<std::int64_t>::min()),
        Reply(std::string(400, '9'), "inf hPa", std::numeric_limits<std::int64_t>::max()),
        Reply("1e99999999999999999999999999", "inf hPa", std::numeric_limits<std::int64_t>::max()),
        Reply("1e-99999999999999999999999999", "106 hPa", 106),
        Reply("0." + std::string(100000, '0') + "1e99999", "106 hPa", 106)));

TEST(ReplyDecoding, PressureReplyArrivingInPiecesShowsEachPartialReading) {
  const struct {
    const char* received;
    const char* status;
    std::int64_t pressure;
  } pieces[] = {{"5", "111 hPa", 111}, {"51", "160 hPa", 160}, {"512\r", "650 hPa", 650}};
  for (const auto& piece : pieces) {
    const DecodedReply reply = ReplyToReceived("CR PRESSURE", piece.received);
    EXPECT_EQ(reply.status, piece.status) << piece.received;
    EXPECT_EQ(reply.pressure, piece.pressure) << piece.received;
  }
}

}  // namespace
}  // namespace mero::link
