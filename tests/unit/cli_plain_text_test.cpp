// Bytes as a line of plain text and back, and the nearest of a list of names.

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "cli/plain_text.h"

namespace mero::cli {
namespace {

TEST(CliPlainText, EveryByteIsWrittenSoThatRawReadsItBack) {
  std::string all;
  for (int value = 0; value < 256; ++value) all += static_cast<char>(value);
  const std::string escaped = Escaped(all);
  for (const char c : escaped) {
    EXPECT_TRUE(c >= ' ' && c <= '~') << static_cast<int>(c);
  }
  std::string error;
  EXPECT_EQ(Unescaped(escaped, &error), all) << error;
  EXPECT_EQ(Escaped("Port's device\\ in use\r\n\x06"), "Port's device\\\\ in use\\r\\n\\x06");
}

TEST(CliPlainText, AnExcerptIsBoundedWhateverItQuotes) {
  EXPECT_EQ(Excerpt("80\r"), "80\\r");
  const std::string flood(5'000'000, '\x15');
  std::string expected;
  for (std::size_t i = 0; i < kExcerptBytes; ++i) expected += "\\x15";
  EXPECT_EQ(Excerpt(flood), expected + "... (5000000 bytes)");
}

TEST(CliPlainText, TheNearestNameIsALetterOrTwoOff) {
  constexpr std::array<std::string_view, 5> kNames = {"status", "lamp-hours", "lamp-mode", "query",
                                                      "send"};
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"stauts", "status"},
      {"lamphours", "lamp-hours"},
      {"lamp-mod", "lamp-mode"},
      {"sen", "send"},
      {"status", ""},
      {"lamp-life", ""},
      {"sta", ""},
      {"", ""},
  };
  for (const auto& [word, nearest] : cases) {
    EXPECT_EQ(Nearest(word, kNames).value_or(""), nearest) << word;
  }
  const std::string huge(1 << 20, 'q');
  EXPECT_FALSE(Nearest(huge, kNames).has_value());
}

}  // namespace
}  // namespace mero::cli
