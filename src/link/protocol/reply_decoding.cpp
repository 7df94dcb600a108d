#include "link/protocol/reply_decoding.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <system_error>
#include <type_traits>

#include "link/protocol/reply_tables.h"

namespace mero::link {
namespace {

enum class QueryKind { Table, LampHours, Temperatures, RawText, Pressure };

struct Query {
  std::string_view code;
  QueryKind kind;
};

// Tried in this order; the texts are distinct, so at most one can match.
constexpr std::array<Query, 9> kQueries{{
    {"CR0", QueryKind::Table},
    {"CR1", QueryKind::Table},
    {"CR4", QueryKind::Table},
    {"CR3", QueryKind::LampHours},
    {"CR6", QueryKind::Temperatures},
    {"CRA", QueryKind::Table},
    {"CR9", QueryKind::RawText},
    {"CR PRESSURE", QueryKind::Pressure},
    {"CR7", QueryKind::Table},
}};

constexpr auto kQueryCodes = [] {
  std::array<std::string_view, kQueries.size()> codes{};
  for (std::size_t i = 0; i < kQueries.size(); ++i) codes[i] = kQueries[i].code;
  return codes;
}();

constexpr char kCommandEnd = '\r';

bool IsCommand(std::string_view lastCommand, std::string_view prefix, std::string_view code) {
  return lastCommand.size() == prefix.size() + code.size() + 1 && lastCommand.starts_with(prefix) &&
         lastCommand.substr(prefix.size()).starts_with(code) && lastCommand.back() == kCommandEnd;
}

// ---- Table queries ----

std::optional<std::string> DecodeTable(std::string_view shown, std::string_view code) {
  const reply_tables::TableQuery* table = reply_tables::FindTableQuery(code);
  const reply_tables::Row* row = table != nullptr ? reply_tables::FindRow(*table, shown) : nullptr;
  if (row == nullptr) return std::nullopt;
  return std::string(row->text);
}

// ---- Lamp hours and temperatures ----

constexpr std::size_t kLampHoursLength = 38;
constexpr std::string_view kLampHoursSuffix = " Hour Use";

// A piece of the shown text by 1-based position, cut short at its end, empty beyond it.
std::string_view Piece(std::string_view shown, std::size_t position, std::size_t length) {
  const std::size_t start = position - 1;
  if (start >= shown.size()) return {};
  return shown.substr(start, length);
}

struct PieceSpan {
  std::size_t position;
  std::size_t length;
};

// The three sensors' figures stand at fixed places of the reply; the characters between them
// are separators the status line leaves out.
constexpr PieceSpan kSensor1{1, 10};
constexpr PieceSpan kSensor2{15, 8};
constexpr PieceSpan kSensor3{25, 10};

std::string DecodeTemperatures(std::string_view shown) {
  std::string out = "  S1=";
  out += Piece(shown, kSensor1.position, kSensor1.length);
  out += " C  ,   S2= ";
  out += Piece(shown, kSensor2.position, kSensor2.length);
  out += " C , S3=";
  out += Piece(shown, kSensor3.position, kSensor3.length);
  out += " C";
  return out;
}

// ---- Pressure ----

// Exponent digits can run on without end; clamping keeps the sum of exponent and mantissa scale
// far from the int64 limits. The clamp exceeds any text length memory can hold, so a clamped
// exponent always decides alone between overflow and vanishing.
constexpr std::int64_t kExponentClamp = 1'000'000'000'000'000;
// Beyond this decimal scale every reading overflows a double or vanishes to zero.
constexpr std::int64_t kMaxFiniteScale = 400;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsExponentLetter(char c) { return c == 'E' || c == 'e' || c == 'D' || c == 'd'; }
bool IsSkipped(char c) { return c == ' ' || c == '\t' || c == '\n'; }

std::int64_t ClampExponent(std::int64_t value) {
  return std::clamp(value, -kExponentClamp, kExponentClamp);
}

// The mantissa as significant digits d1 d2 ... and a scale: the value is 0.d1d2... * 10^scale.
struct Mantissa {
  std::string digits;
  std::int64_t scale = 0;
  bool anyDigit = false;
};

// Reads digits with at most one point from text[i] on, and leaves i after them.
Mantissa ReadMantissa(std::string_view text, std::size_t& i) {
  Mantissa mantissa;
  bool seenPoint = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.' && !seenPoint) {
      seenPoint = true;
      continue;
    }
    if (!IsDigit(c)) break;
    mantissa.anyDigit = true;
    const bool leadingZero = mantissa.digits.empty() && c == '0';
    if (!seenPoint) {
      if (!leadingZero) {
        mantissa.digits += c;
        mantissa.scale = ClampExponent(mantissa.scale + 1);
      }
    } else if (leadingZero) {
      mantissa.scale = ClampExponent(mantissa.scale - 1);
    } else {
      mantissa.digits += c;
    }
  }
  return mantissa;
}

// The exponent at text[i]: its letter, a sign and digits; 0 when no digit follows a letter.
std::int64_t ReadExponent(std::string_view text, std::size_t i) {
  if (i + 1 >= text.size() || !IsExponentLetter(text[i])) return 0;
  std::size_t j = i + 1;
  bool negative = false;
  if (text[j] == '+' || text[j] == '-') {
    negative = text[j] == '-';
    ++j;
  }
  constexpr std::int64_t kDecimalBase = 10;
  std::int64_t exponent = 0;
  for (; j < text.size() && IsDigit(text[j]); ++j) {
    exponent = ClampExponent(exponent * kDecimalBase + (text[j] - '0'));
  }
  return negative ? -exponent : exponent;
}

// Reads the leading decimal number of the text once blanks, tabs and line feeds are dropped:
// sign, digits with at most one point, and an exponent (E or D, either case) only when digits
// follow its letter. No number reads as 0. Parsing is locale-independent: the window toolkit
// may have set a locale whose decimal mark is not a point.
double ReadNumber(std::string_view shown) {
  std::string text;
  text.reserve(shown.size());
  for (char c : shown) {
    if (!IsSkipped(c)) text += c;
  }

  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }

  const Mantissa mantissa = ReadMantissa(text, i);
  if (!mantissa.anyDigit || mantissa.digits.empty()) return 0.0;

  const std::int64_t totalScale = mantissa.scale + ReadExponent(text, i);
  const double sign = negative ? -1.0 : 1.0;
  if (totalScale > kMaxFiniteScale) return sign * std::numeric_limits<double>::infinity();
  if (totalScale < -kMaxFiniteScale) return sign * 0.0;

  const std::string canonical = "0." + mantissa.digits + "e" + std::to_string(totalScale);
  double magnitude = 0.0;
  const auto [end, error] =
      std::from_chars(canonical.data(), canonical.data() + canonical.size(), magnitude);
  if (error == std::errc::result_out_of_range) {
    // The canonical form lies in [0.1, 1) * 10^scale: a positive scale overflowed.
    magnitude = totalScale > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return sign * magnitude;
}

// Nearest integer, a half to the even neighbour, whatever the floating-point rounding mode.
double RoundHalfEven(double x) {
  if (!std::isfinite(x)) return x;
  const double below = std::floor(x);
  const double fraction = x - below;  // exact for every finite double
  constexpr double kHalf = 0.5;
  if (fraction < kHalf) return below;
  if (fraction > kHalf) return below + 1.0;
  return std::fmod(below, 2.0) == 0.0 ? below : below + 1.0;
}

constexpr double kTwoTo63 = 9223372036854775808.0;

bool FitsInt64(double x) { return x >= -kTwoTo63 && x < kTwoTo63; }

std::int64_t SaturateToInt64(double x) {
  if (std::isnan(x)) return 0;
  if (x >= kTwoTo63) return std::numeric_limits<std::int64_t>::max();
  if (x < -kTwoTo63) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(x);
}

// The decimal text of a whole number held in a double, exact however large.
std::string FormatWhole(double x) {
  if (FitsInt64(x)) return std::to_string(static_cast<std::int64_t>(x));
  constexpr std::size_t kBufferSize = 512;  // the largest double has 309 digits
  std::array<char, kBufferSize> buffer{};
  const auto [end, error] =
      std::to_chars(buffer.data(), buffer.data() + buffer.size(), x, std::chars_format::fixed, 0);
  if (error != std::errc()) return "?";
  return std::string(buffer.data(), end);
}

// Calibration of the projector's pressure sensor: reading to volts, volts to hPa.
constexpr double kReadingFactor = 5.0;
constexpr double kFullScale = 1024.0;
constexpr double kSensorOffset = 0.204;
constexpr double kSensorSlope = 0.00459;
constexpr double kPressureBase = 150.0;
constexpr std::string_view kPressureUnit = " hPa";

// Double, not 16-bit, arithmetic: any reading gives its true figure ("inf" past the double
// range).
double PressureInHpa(double reading) {
  const double product = reading * kReadingFactor;
  return RoundHalfEven(((product / kFullScale) - kSensorOffset) / kSensorSlope + kPressureBase);
}

double PressureOf(std::string_view shown) {
  return PressureInHpa(RoundHalfEven(ReadNumber(shown)));
}

DecodedReply DecodePressure(std::string_view shown) {
  const double hPa = PressureOf(shown);
  return {FormatWhole(hPa) + std::string(kPressureUnit), SaturateToInt64(hPa)};
}

// ---- Figures ----

std::string WithoutBlanks(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c != ' ') out += c;
  }
  return out;
}

// Whole text only: digits, or a temperature such as "+25.5" or "-05.0".
template <typename Number>
std::optional<Number> ReadWhole(std::string_view text) {
  if (text.starts_with('+')) {
    text.remove_prefix(1);
    if (text.starts_with('-')) return std::nullopt;
  }
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  if constexpr (std::is_floating_point_v<Number>) {
    if (!std::isfinite(value)) return std::nullopt;
  }
  return value;
}

std::optional<std::int64_t> LampHoursOf(std::string_view shown) {
  const std::string figure = WithoutBlanks(shown.substr(0, kLampHoursLength));
  // The figure ends where the reply's CR is shown.
  const std::size_t digits = figure.find_first_not_of("0123456789");
  return ReadWhole<std::int64_t>(std::string_view(figure).substr(0, digits));
}

}  // namespace

DecodedReply DecodeReply(std::string_view shown, std::string_view lastCommand,
                         std::string_view commandPrefix) {
  for (const Query& query : kQueries) {
    if (!IsCommand(lastCommand, commandPrefix, query.code)) continue;
    switch (query.kind) {
      case QueryKind::Table:
        return {DecodeTable(shown, query.code), std::nullopt};
      case QueryKind::LampHours:
        return {std::string(shown.substr(0, kLampHoursLength)) + std::string(kLampHoursSuffix),
                std::nullopt};
      case QueryKind::Temperatures:
        return {DecodeTemperatures(shown), std::nullopt};
      case QueryKind::RawText:
        return {std::string(shown), std::nullopt};
      case QueryKind::Pressure:
        return DecodePressure(shown);
    }
  }
  return {};
}

std::span<const std::string_view> DecodedQueries() { return kQueryCodes; }

ReplyFigures ReadFigures(std::string_view shown, std::string_view lastCommand,
                         std::string_view commandPrefix) {
  ReplyFigures figures;
  for (const Query& query : kQueries) {
    if (!IsCommand(lastCommand, commandPrefix, query.code)) continue;
    switch (query.kind) {
      case QueryKind::LampHours:
        figures.hours = LampHoursOf(shown);
        break;
      case QueryKind::Temperatures: {
        const std::array<PieceSpan, 3> sensors{kSensor1, kSensor2, kSensor3};
        for (std::size_t i = 0; i < sensors.size(); ++i) {
          figures.degrees[i] = ReadWhole<double>(
              WithoutBlanks(Piece(shown, sensors[i].position, sensors[i].length)));
        }
        break;
      }
      case QueryKind::Pressure: {
        const double hPa = PressureOf(shown);
        if (FitsInt64(hPa)) figures.hPa = static_cast<std::int64_t>(hPa);
        break;
      }
      case QueryKind::Table:
      case QueryKind::RawText:
        break;
    }
  }
  return figures;
}

}  // namespace mero::link
