#include "serve/json_text.h"

#include <array>
#include <cmath>
#include <cstdio>

namespace mero::serve::json {
namespace {

std::string Escaped(std::string_view text, bool bytes) {
  std::string out = "\"";
  out.reserve(text.size() + 2);
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7f || (bytes && byte >= 0x80)) {
      std::array<char, 8> escape{};
      std::snprintf(escape.data(), escape.size(), "\\u%04x", static_cast<unsigned>(byte));
      out += escape.data();
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace

std::string Quoted(std::string_view text) { return Escaped(text, false); }

std::string QuotedBytes(std::string_view bytes) { return Escaped(bytes, true); }

std::string Number(double value) {
  if (!std::isfinite(value)) return std::string(kNull);
  std::array<char, 32> text{};
  std::snprintf(text.data(), text.size(), "%.10g", value);
  return text.data();
}

Object& Object::add(std::string_view key, std::string_view value) {
  if (text_.size() > 1) text_ += ',';
  text_ += Quoted(key);
  text_ += ':';
  text_ += value;
  return *this;
}

List& List::add(std::string_view value) {
  if (text_.size() > 1) text_ += ',';
  text_ += value;
  return *this;
}

}  // namespace mero::serve::json
