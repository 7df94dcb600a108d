#pragma once

#include <optional>
#include <string>
#include <string_view>

// JSON as the web page and the API write it: each value is text already in JSON, so that an
// object is built from its members in one pass. Plain code: the service answers in JSON
// without a document model.
namespace mero::serve::json {

// A quoted string. Text from the configuration is UTF-8; bytes from the line may be anything,
// so a byte outside ASCII is written as the character of that number rather than trusted.
std::string Quoted(std::string_view text);
std::string QuotedBytes(std::string_view bytes);
std::string Number(double value);
inline std::string Boolean(bool value) { return value ? "true" : "false"; }
inline constexpr std::string_view kNull = "null";

template <class T, class Write>
std::string OrNull(const std::optional<T>& value, Write write) {
  return value ? write(*value) : std::string(kNull);
}

// Members, each a key and a value already in JSON, into an object.
class Object {
 public:
  Object& add(std::string_view key, std::string_view value);
  std::string text() const { return text_ + "}"; }

 private:
  std::string text_ = "{";
};

// Values, each already in JSON, into an array.
class List {
 public:
  List& add(std::string_view value);
  std::string text() const { return text_ + "]"; }

 private:
  std::string text_ = "[";
};

}  // namespace mero::serve::json
