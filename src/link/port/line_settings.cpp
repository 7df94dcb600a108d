#include "link/port/line_settings.h"

#include <array>
#include <charconv>
#include <utility>
#include <vector>

namespace mero::link {
namespace {

constexpr char kFieldSeparator = ',';
constexpr std::size_t kSettingsFields = 4;
constexpr int kMinDataBits = 5;
constexpr int kMaxDataBits = 8;

constexpr std::array kParityLetters = std::to_array<std::pair<char, Parity>>({
    {'N', Parity::None},
    {'O', Parity::Odd},
    {'E', Parity::Even},
    {'M', Parity::Mark},
    {'S', Parity::Space},
});

constexpr std::array kStopBitTexts = std::to_array<std::pair<std::string_view, StopBits>>({
    {"1", StopBits::One},
    {"1.5", StopBits::OneAndHalf},
    {"2", StopBits::Two},
});

std::vector<std::string_view> SplitFields(std::string_view text) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = text.find(kFieldSeparator, start);
    if (comma == std::string_view::npos) {
      fields.push_back(text.substr(start));
      return fields;
    }
    fields.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
}

std::optional<int> ParseNumber(std::string_view field) {
  if (field.empty()) return std::nullopt;
  int value = 0;
  const char* end = field.data() + field.size();
  const auto [ptr, ec] = std::from_chars(field.data(), end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

std::optional<Parity> ParseParity(std::string_view field) {
  if (field.size() != 1) return std::nullopt;
  const char upper = field.front() >= 'a' && field.front() <= 'z'
                         ? static_cast<char>(field.front() - 'a' + 'A')
                         : field.front();
  for (const auto& [letter, parity] : kParityLetters) {
    if (letter == upper) return parity;
  }
  return std::nullopt;
}

std::optional<StopBits> ParseStopBits(std::string_view field) {
  for (const auto& [text, stopBits] : kStopBitTexts) {
    if (text == field) return stopBits;
  }
  return std::nullopt;
}

}  // namespace

std::optional<LineSettings> ParseSettings(std::string_view text) {
  const std::vector<std::string_view> fields = SplitFields(text);
  if (fields.size() != kSettingsFields) return std::nullopt;
  const std::optional<int> baud = ParseNumber(fields[0]);
  const std::optional<Parity> parity = ParseParity(fields[1]);
  const std::optional<int> dataBits = ParseNumber(fields[2]);
  const std::optional<StopBits> stopBits = ParseStopBits(fields[3]);
  if (!baud || *baud <= 0 || !parity || !dataBits || *dataBits < kMinDataBits ||
      *dataBits > kMaxDataBits || !stopBits) {
    return std::nullopt;
  }
  return LineSettings{*baud, *parity, *dataBits, *stopBits};
}

char ParityLetter(Parity parity) {
  for (const auto& [letter, value] : kParityLetters) {
    if (value == parity) return letter;
  }
  return '?';
}

std::string SettingsText(const LineSettings& line) {
  std::string stop = "1";
  for (const auto& [text, value] : kStopBitTexts) {
    if (value == line.stopBits) stop = text;
  }
  return std::to_string(line.baudRate) + kFieldSeparator + ParityLetter(line.parity) +
         kFieldSeparator + std::to_string(line.dataBits) + kFieldSeparator + stop;
}

}  // namespace mero::link
