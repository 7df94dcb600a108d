#include "serve/config_text.h"

#include <algorithm>

namespace mero::serve {
namespace {

constexpr std::string_view kBlanks = " \t";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsCommentSign(char c) { return c == ';' || c == '#'; }

std::string_view Trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// True when `rest`, what follows a value or a heading, is blanks, or blanks and a comment.
bool NothingOrComment(std::string_view rest) {
  const std::size_t text = rest.find_first_not_of(kBlanks);
  return text == std::string_view::npos || (text > 0 && IsCommentSign(rest[text]));
}

IniLine Mistake(std::string text) {
  return {.kind = IniLine::Kind::Mistake, .name = {}, .value = std::move(text)};
}

// `rest` follows the opening quote.
IniLine QuotedEntry(std::string name, std::string_view rest) {
  std::string value;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    const char c = rest[i];
    if (c == '"') {
      if (!NothingOrComment(rest.substr(i + 1))) {
        return Mistake(name + ": text after the closing quote; quotes enclose the whole value");
      }
      return {.kind = IniLine::Kind::Entry, .name = std::move(name), .value = std::move(value)};
    }
    if (c == '\\' && i + 1 < rest.size()) {
      const char next = rest[++i];
      if (next != '"' && next != '\\') {
        return Mistake(name + ": \\" + next +
                       R"( in quotes: the escapes are \" and \\, a backslash is written \\)");
      }
      value += next;
      continue;
    }
    value += c;
  }
  return Mistake(name + ": the quote is not closed on its line");
}

}  // namespace

IniLine ReadIniLine(std::string_view line) {
  if (line.ends_with('\r')) line.remove_suffix(1);
  const std::string_view text = Trimmed(line);
  if (text.empty() || IsCommentSign(text.front())) return {};
  if (text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos || !NothingOrComment(text.substr(close + 1))) {
      return Mistake("a section heading is \"[NAME]\" alone on its line");
    }
    return {.kind = IniLine::Kind::Section, .name = std::string(text.substr(1, close - 1))};
  }
  const std::size_t equals = text.find('=');
  if (equals == std::string_view::npos) {
    return Mistake("not a section heading, a \"key = value\" or a comment");
  }
  std::string name(Trimmed(text.substr(0, equals)));
  if (name.empty()) return Mistake("a value without its key");
  const std::string_view rest = text.substr(equals + 1);
  const std::size_t start = rest.find_first_not_of(kBlanks);
  if (start == std::string_view::npos) return {.kind = IniLine::Kind::Entry, .name = name};
  if (rest[start] == '"') return QuotedEntry(std::move(name), rest.substr(start + 1));
  std::size_t end = start;
  for (; end < rest.size(); ++end) {
    if (IsCommentSign(rest[end]) && end > 0 && IsBlank(rest[end - 1])) break;
  }
  return {.kind = IniLine::Kind::Entry,
          .name = std::move(name),
          .value = std::string(Trimmed(rest.substr(start, end - start)))};
}

std::string QuotedIfNeeded(std::string_view value) {
  const bool plain = value.empty() || (!IsBlank(value.front()) && !IsBlank(value.back()) &&
                                       value.front() != '"' && !IsCommentSign(value.front()) &&
                                       std::ranges::adjacent_find(value, [](char a, char b) {
                                         return IsBlank(a) && IsCommentSign(b);
                                       }) == value.end());
  if (plain) return std::string(value);
  std::string quoted = "\"";
  for (const char c : value) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + '"';
}

}  // namespace mero::serve
