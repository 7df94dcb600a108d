#include "cli/plain_text.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <vector>

namespace mero::cli {
namespace {

constexpr char kFirstPrintable = ' ';
constexpr char kLastPrintable = '~';
constexpr int kHexBase = 16;
constexpr std::size_t kHexDigits = 2;
// A word of up to this many letters may be one letter off, a longer one two.
constexpr std::size_t kShortWord = 5;

// Letters added, dropped, changed or swapped with their neighbour to turn one word into the
// other (the optimal string alignment distance).
std::size_t Distance(std::string_view a, std::string_view b) {
  const std::size_t columns = b.size() + 1;
  std::vector<std::size_t> d((a.size() + 1) * columns);
  const auto at = [&](std::size_t i, std::size_t j) -> std::size_t& { return d[i * columns + j]; };
  for (std::size_t i = 0; i <= a.size(); ++i) at(i, 0) = i;
  for (std::size_t j = 0; j <= b.size(); ++j) at(0, j) = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
      at(i, j) = std::min({at(i - 1, j) + 1, at(i, j - 1) + 1, at(i - 1, j - 1) + change});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        at(i, j) = std::min(at(i, j), at(i - 2, j - 2) + 1);
      }
    }
  }
  return at(a.size(), b.size());
}

}  // namespace

std::string Escaped(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) {
    switch (c) {
      case '\\':
        out += "\\\\";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\t':
        out += "\\t";
        continue;
      default:
        break;
    }
    if (c >= kFirstPrintable && c <= kLastPrintable) {
      out += c;
      continue;
    }
    std::array<char, 5> hex{};
    std::snprintf(hex.data(), hex.size(), "\\x%02X", static_cast<unsigned char>(c));
    out += hex.data();
  }
  return out;
}

std::string Excerpt(std::string_view bytes, std::size_t limit) {
  if (bytes.size() <= limit) return Escaped(bytes);
  return Escaped(bytes.substr(0, limit)) + "... (" + std::to_string(bytes.size()) + " bytes)";
}

std::optional<link::Bytes> Unescaped(std::string_view text, std::string* error) {
  link::Bytes out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) {
      *error = R"(a lone \ at the end; write \\ for a backslash)";
      return std::nullopt;
    }
    switch (text[i]) {
      case 'r':
        out += '\r';
        continue;
      case 'n':
        out += '\n';
        continue;
      case 't':
        out += '\t';
        continue;
      case '\\':
        out += '\\';
        continue;
      case 'x': {
        const std::string_view digits = text.substr(i + 1, kHexDigits);
        unsigned value = 0;
        const auto [end, failed] =
            std::from_chars(digits.data(), digits.data() + digits.size(), value, kHexBase);
        if (digits.size() != kHexDigits || failed != std::errc() ||
            end != digits.data() + digits.size()) {
          *error = "\\x takes two hexadecimal digits, as in \\x06";
          return std::nullopt;
        }
        out += static_cast<char>(value);
        i += kHexDigits;
        continue;
      }
      default:
        *error = "unknown escape \\" + Escaped(text.substr(i, 1)) +
                 R"(; the escapes are \r, \n, \t, \xNN and \\)";
        return std::nullopt;
    }
  }
  return out;
}

std::optional<std::string_view> Nearest(std::string_view word,
                                        std::span<const std::string_view> candidates) {
  const std::size_t allowed = word.size() <= kShortWord ? 1 : 2;
  std::optional<std::string_view> best;
  std::size_t bestDistance = allowed + 1;
  for (const std::string_view candidate : candidates) {
    // Lengths that differ more than allowed cannot be close; a word of any length costs
    // nothing to refuse.
    const std::size_t longer = std::max(word.size(), candidate.size());
    if (longer - std::min(word.size(), candidate.size()) > allowed) continue;
    const std::size_t distance = Distance(word, candidate);
    if (distance > 0 && distance < bestDistance) {
      best = candidate;
      bestDistance = distance;
    }
  }
  return best;
}

}  // namespace mero::cli
