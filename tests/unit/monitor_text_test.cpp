#include "link/protocol/monitor_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace mero::test {
namespace {

using link::MonitorText;

std::string Byte(int code) { return std::string(1, static_cast<char>(code)); }

struct Case {
  const char* name;
  std::string text;
  std::string shown;
};

TEST(MonitorText, TranscribesEachCharacterByItsRule) {
  const std::vector<Case> cases = {
      {"empty text", "", " "},
      {"one blank", " ", "   "},
      {"power on command", "C00\r", " C 0 0 CR "},
      {"status query", "CR0\r", " C R 0 CR "},
      {"reply", "00\r", " 0 0 CR "},
      {"ACK then CR", Byte(6) + "\r", " ACK CR "},
      {"code 20 alone", Byte(20), " &"},
      {"code 20 takes no blank", std::string("a") + Byte(20) + "b", " a &b "},
      {"line feed", "\n", " LF "},
      {"CR LF", "\r\n", " CR LF "},
      {"tab", "\t", " ? "},
      {"NUL", Byte(0), " ? "},
      {"code 5 beside ACK", Byte(5), " ? "},
      {"code 7 beside ACK", Byte(7), " ? "},
      {"code 12 beside CR", Byte(12), " ? "},
      {"code 14 beside CR", Byte(14), " ? "},
      {"code 19 beside 20", Byte(19), " ? "},
      {"code 21 beside 20", Byte(21), " ? "},
      {"code 31", Byte(31), " ? "},
      {"lowest printable", Byte(32), "   "},
      {"highest printable", "z", " z "},
      {"open brace", "{", " ? "},
      {"bar", "|", " ? "},
      {"close brace", "}", " ? "},
      {"tilde", "~", " ? "},
      {"DEL", Byte(127), " ? "},
      {"a then brace", "a{", " a ? "},
      {"byte 128", Byte(128), " ? "},
      {"byte 255", Byte(255), " ? "},
      {"UTF-8 letter", "\xC3\xA9", " ? ? "},
      {"case kept", "aZ", " a Z "},
      {"mixed reply", Byte(6) + "1 x" + Byte(127) + "\r", " ACK 1   x ? CR "},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MonitorText(c.text), c.shown) << c.name;
  }
}

// Replies are read back by position: character k of a printable text stands at position 2k
// (counted from 1), every odd position holds a blank.
TEST(MonitorText, PrintableTextLandsOnEvenPositions) {
  std::string text;
  for (int code = ' '; code <= 'z'; ++code) text += static_cast<char>(code);
  const std::string shown = MonitorText(text);
  ASSERT_EQ(shown.size(), 2 * text.size() + 1);
  for (std::size_t k = 1; k <= text.size(); ++k) {
    EXPECT_EQ(shown[2 * k - 1], text[k - 1]) << "character " << k;
    EXPECT_EQ(shown[2 * k - 2], ' ') << "blank before character " << k;
  }
  EXPECT_EQ(shown.back(), ' ');
}

TEST(MonitorText, EveryUnnamedControlAndEveryHighCodeIsAQuestionMark) {
  const std::vector<int> named = {6, 10, 13, 20};
  for (int code = 0; code < 256; ++code) {
    const bool control = code < ' ';
    const bool high = code > 'z';
    if (!(control || high) || std::find(named.begin(), named.end(), code) != named.end()) {
      continue;
    }
    EXPECT_EQ(MonitorText(Byte(code)), " ? ") << "code " << code;
  }
}

}  // namespace
}  // namespace mero::test
