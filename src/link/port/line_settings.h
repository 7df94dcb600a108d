#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace mero::link {

enum class Parity { None, Odd, Even, Mark, Space };
enum class StopBits { One, OneAndHalf, Two };

// The line as a settings text describes it, e.g. "19200,N,8,1".
struct LineSettings {
  std::int32_t baudRate = 9600;
  Parity parity = Parity::None;
  int dataBits = 8;
  StopBits stopBits = StopBits::One;

  friend bool operator==(const LineSettings&, const LineSettings&) = default;
};

// Reads "baud,parity,data bits,stop bits": a positive decimal baud rate, one parity letter
// (N, E, O, M or S, either case), 5 to 8 data bits and 1, 1.5 or 2 stop bits. Nothing else is
// allowed, not even blanks.
std::optional<LineSettings> ParseSettings(std::string_view text);

// The settings text of a line, with an upper-case parity letter: "19200,N,8,1".
std::string SettingsText(const LineSettings& line);

char ParityLetter(Parity parity);

}  // namespace mero::link
