#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

// A broken invariant ends the run with its text, so that libFuzzer keeps the input.
#define FUZZ_REQUIRE(condition)                                                     \
  do {                                                                              \
    if (!(condition)) {                                                             \
      std::fprintf(stderr, "broken: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
      std::abort();                                                                 \
    }                                                                               \
  } while (false)

namespace mero::fuzz {

// The fuzzer's input read from the front, a byte at a time; past its end every read gives
// zero bytes, so a script simply stops.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool empty() const { return at_ >= size_; }
  std::uint8_t byte() { return empty() ? 0 : data_[at_++]; }
  std::string bytes(std::size_t count) {
    count = std::min(count, size_ - std::min(at_, size_));
    std::string out(reinterpret_cast<const char*>(data_ + at_), count);
    at_ += count;
    return out;
  }
  // An arrival after its head byte: the head gives the length (its low six bits) and how many
  // times the bytes come over in one piece (its high two bits: 1, 8, 128 or 1024 times), so
  // that a short input can fill and overrun the received buffer.
  std::string arrival(std::uint8_t head) {
    constexpr std::size_t kTimes[] = {1, 8, 128, 1024};
    const std::string piece = bytes(head & 0x3F);
    std::string out;
    for (std::size_t n = kTimes[head >> 6]; n > 0; --n) out += piece;
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// The decoded pressure as the status line shows it: a whole number (or an infinity past the
// range of a double) and its unit, such as "1013 hPa", "-4 hPa" or "inf hPa".
inline bool IsPressureText(std::string_view text) {
  constexpr std::string_view kUnit = " hPa";
  if (!text.ends_with(kUnit)) return false;
  text.remove_suffix(kUnit.size());
  if (text.starts_with('-')) {
    text.remove_prefix(1);
    if (text == "0") return false;
  }
  if (text == "inf") return true;
  if (text.empty() || (text.size() > 1 && text.front() == '0')) return false;
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace mero::fuzz
