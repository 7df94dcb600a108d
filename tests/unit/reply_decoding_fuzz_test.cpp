#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "link/protocol/monitor_text.h"
#include "link/protocol/reply_decoding.h"
#include "link/protocol/reply_tables.h"

namespace mero::link {
namespace {

constexpr std::uint32_t kSeed = 20240611;
constexpr int kStreams = 3000;
constexpr int kMaxPiecesPerStream = 12;
constexpr int kMaxPieceLength = 9;
constexpr std::size_t kDigitsSurelyInInt64 = 18;
constexpr std::size_t kLampHoursShown = 38;
constexpr std::string_view kLampHoursSuffix = " Hour Use";

// Bytes a projector reply is made of, drawn more often than the rest so that table rows and
// numbers actually turn up.
constexpr std::string_view kReplyAlphabet = "0123456789ABCDEFabcdef+-.eEdD \t\n\r";

std::string RandomPiece(std::mt19937& rng) {
  std::uniform_int_distribution<int> length(0, kMaxPieceLength);
  std::uniform_int_distribution<int> anyByte(0, 255);
  std::uniform_int_distribution<std::size_t> alphabet(0, kReplyAlphabet.size() - 1);
  std::bernoulli_distribution fromAlphabet(0.8);
  std::string piece;
  for (int n = length(rng); n > 0; --n) {
    piece += fromAlphabet(rng) ? kReplyAlphabet[alphabet(rng)] : static_cast<char>(anyByte(rng));
  }
  return piece;
}

bool IsWholeNumberText(std::string_view text) {
  if (text.starts_with('-')) text.remove_prefix(1);
  if (text.empty() || (text.size() > 1 && text.front() == '0')) return false;
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Checks one decoding of `shown` after `query` against what must hold for any received text.
// Counts the table matches so that the test can tell it exercised the rows.
void CheckInvariants(std::string_view query, const std::string& shown,
                     std::map<std::string_view, int>& tableMatches) {
  const std::string command = std::string(query) + "\r";
  const DecodedReply reply = DecodeReply(shown, command, "");
  const std::optional<std::string>& status = reply.status;
  SCOPED_TRACE("query " + std::string(query) + ", shown \"" + shown + "\"");
  // Only the pressure query gives a figure.
  if (query != "CR PRESSURE") {
    EXPECT_EQ(reply.pressure, std::nullopt);
  }

  for (const reply_tables::TableQuery& table : reply_tables::kTableQueries) {
    if (table.query != query) continue;
    const auto row =
        std::find_if(table.rows.begin(), table.rows.end(),
                     [&](const reply_tables::Row& r) { return shown.starts_with(r.key); });
    if (row == table.rows.end()) {
      EXPECT_EQ(status, std::nullopt);
    } else {
      ++tableMatches[query];
      EXPECT_EQ(status, std::optional<std::string>(row->text));
    }
    return;
  }

  if (query == "CR3") {
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(status->ends_with(kLampHoursSuffix));
    EXPECT_EQ(status->size(), std::min(shown.size(), kLampHoursShown) + kLampHoursSuffix.size());
    EXPECT_TRUE(shown.starts_with(status->substr(0, status->size() - kLampHoursSuffix.size())));
  } else if (query == "CR6") {
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(status->starts_with("  S1="));
    EXPECT_TRUE(status->ends_with(" C"));
    EXPECT_NE(status->find(" C  ,   S2= "), std::string::npos);
    EXPECT_NE(status->find(" C , S3="), std::string::npos);
    // The fixed parts take 27 characters, the three pieces at most 10, 8 and 10.
    EXPECT_GE(status->size(), 27u);
    EXPECT_LE(status->size(), 55u);
    EXPECT_EQ(status->size(),
              27u + std::min<std::size_t>(shown.size(), 10) +
                  (shown.size() > 14 ? std::min<std::size_t>(shown.size() - 14, 8) : 0) +
                  (shown.size() > 24 ? std::min<std::size_t>(shown.size() - 24, 10) : 0));
  } else if (query == "CR9") {
    EXPECT_EQ(status, std::optional<std::string>(shown));
  } else if (query == "CR PRESSURE") {
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(status->ends_with(" hPa"));
    ASSERT_TRUE(reply.pressure.has_value());
    const std::int64_t pressure = *reply.pressure;
    const std::string figure = status->substr(0, status->size() - 4);
    if (figure == "inf") {
      EXPECT_EQ(pressure, std::numeric_limits<std::int64_t>::max());
    } else if (figure == "-inf") {
      EXPECT_EQ(pressure, std::numeric_limits<std::int64_t>::min());
    } else {
      ASSERT_TRUE(IsWholeNumberText(figure)) << figure;
      // Within int64 the stored value is the shown figure.
      if (figure.size() < kDigitsSurelyInInt64) {
        EXPECT_EQ(std::to_string(pressure), figure);
      }
    }
  } else {
    EXPECT_EQ(status, std::nullopt);
  }
}

TEST(ReplyDecodingRandom, ArbitraryStreamsInArbitraryPieces) {
  std::mt19937 rng(kSeed);
  std::uniform_int_distribution<int> pieces(1, kMaxPiecesPerStream);
  std::map<std::string_view, int> tableMatches;
  for (int stream = 0; stream < kStreams; ++stream) {
    std::string received;
    for (int n = pieces(rng); n > 0; --n) {
      received += RandomPiece(rng);
      const std::string shown = MonitorText(received);
      for (std::string_view query : {"CR0", "CR1", "CR4", "CR3", "CR6", "CRA", "CR9", "CR PRESSURE",
                                     "CR7", "CR2", "cr0", "CR0 "}) {
        CheckInvariants(query, shown, tableMatches);
      }
    }
    if (HasFailure()) break;
  }
  for (const reply_tables::TableQuery& table : reply_tables::kTableQueries) {
    EXPECT_GT(tableMatches[table.query], 0) << table.query << " never matched a row";
  }
}

// Raw shown texts, not only monitor texts: any bytes, any length, including none.
TEST(ReplyDecodingRandom, ArbitraryShownTexts) {
  std::mt19937 rng(kSeed + 1);
  std::uniform_int_distribution<int> length(0, 80);
  std::uniform_int_distribution<int> anyByte(0, 255);
  std::map<std::string_view, int> tableMatches;
  for (int i = 0; i < kStreams; ++i) {
    std::string shown;
    for (int n = length(rng); n > 0; --n) shown += static_cast<char>(anyByte(rng));
    for (std::string_view query :
         {"CR0", "CR1", "CR4", "CR3", "CR6", "CRA", "CR9", "CR PRESSURE", "CR7"}) {
      CheckInvariants(query, shown, tableMatches);
    }
    if (HasFailure()) break;
  }
}

// Readings written in every form a number can take, checked against the C library's reading
// of the same number.
TEST(ReplyDecodingRandom, PressureReadingsAgreeWithTheCLibrary) {
  std::mt19937 rng(kSeed + 2);
  auto digits = [&](int maxCount) {
    std::string out;
    for (int n = std::uniform_int_distribution<int>(0, maxCount)(rng); n > 0; --n) {
      out += static_cast<char>('0' + std::uniform_int_distribution<int>(0, 9)(rng));
    }
    return out;
  };
  auto pick = [&](std::string_view options) {
    return options[std::uniform_int_distribution<std::size_t>(0, options.size() - 1)(rng)];
  };
  std::bernoulli_distribution coin(0.5);
  constexpr int kReadings = 5000;
  for (int i = 0; i < kReadings; ++i) {
    std::string sign = coin(rng) ? std::string(1, pick("+-")) : "";
    const std::string whole = digits(6);
    const bool point = coin(rng);
    const std::string fraction = point ? digits(4) : "";
    const bool hasExponentLetter = coin(rng);
    const char letter = pick("eEdD");
    const std::string exponentSign = coin(rng) ? std::string(1, pick("+-")) : "";
    const std::string exponentDigits = digits(2);
    std::string mantissa = sign;
    mantissa.append(whole).append(point ? "." : "").append(fraction);
    std::string raw = mantissa;
    if (hasExponentLetter) raw.append(1, letter).append(exponentSign).append(exponentDigits);

    // The number as the C library reads it; an exponent counts only with digits.
    std::string canonical = mantissa;
    if (whole.empty() && fraction.empty()) {
      canonical = "0";
    } else if (hasExponentLetter && !exponentDigits.empty()) {
      canonical.append("e").append(exponentSign).append(exponentDigits);
    }
    const double reading = std::nearbyint(std::strtod(canonical.c_str(), nullptr));
    const double hPa = std::nearbyint(((reading * 5) / 1024 - 0.204) / 0.00459 + 150);
    char expected[512];
    std::snprintf(expected, sizeof expected, "%.0f hPa", hPa == 0 ? 0.0 : hPa);

    const DecodedReply reply = DecodeReply(MonitorText(raw + "\r"), "CR PRESSURE\r", "");
    ASSERT_EQ(reply.status, std::optional<std::string>(expected)) << "reading \"" << raw << "\"";
    if (std::fabs(hPa) < 1e18) {
      EXPECT_EQ(reply.pressure, static_cast<std::int64_t>(hPa)) << "reading \"" << raw << "\"";
    }
  }
}

}  // namespace
}  // namespace mero::link
