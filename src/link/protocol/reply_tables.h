#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

namespace mero::link::reply_tables {

// One row of a status table: the start of the shown received text and the status it means.
struct Row {
  std::string_view key;
  std::string_view text;
};

// Keys are read from the start of the shown text, where every reply character is preceded by
// a blank: two reply characters take four shown characters, one takes two.
inline constexpr std::size_t kTwoCharKeyLength = 4;
inline constexpr std::size_t kOneCharKeyLength = 2;

// The texts are kept letter for letter, odd spacing and spelling included ("recoverd",
// "sutandby", " 2 4" without a leading blank, the trailing blank of " NO Key input "): the
// status line has always read exactly so. Do not tidy them.
inline constexpr std::array<Row, 13> kPowerStatus{{
    {" 0 0", " Power ON"},
    {" 8 0", " Stand by"},
    {" 4 0", " Count down"},
    {" 2 0", " Cooling down"},
    {" 1 0", " Power Fail"},
    {" 0 8", " Temperature Warning"},
    {" 0 2", " NO Key input "},
    {" 0 4", " Lamp OFF by PWR Management"},
    {" 2 8", " Temperature Warning & cooling down"},
    {" 2 4", "Cooling down  PWR Management"},
    {" 8 8", " Temperature Warning and recoverd"},
    {" 2 1", " Cooling down (All Lamp FAIL)"},
    {" 8 1", " Cooling down & sutandby (All Lamp FAIL)"},
}};

inline constexpr std::array<Row, 4> kInput{{
    {" 1", " Computer 1"},
    {" 2", " Computer 2"},
    {" 3", " Video"},
    {" 4", " Input mode 4"},
}};

inline constexpr std::array<Row, 4> kImageReversal{{
    {" 1 1", " Normally"},
    {" 1 0", " Top/Bottom reversal"},
    {" 0 1", " Left/Right reversal"},
    {" 0 0", " Top/Bottom , Left/Right reversal"},
}};

inline constexpr std::array<Row, 6> kMuteAndSignal{{
    {" 0 0", " Video & Audio mute OFF"},
    {" 0 1", " Video mute ON"},
    {" 0 2", " Audio mute ON"},
    {" 0 3", " Video & Audio mute ON"},
    {" 8 0", " No signal"},
    {" F F", " Stand by"},
}};

inline constexpr std::array<Row, 8> kLampMode{{
    {" 0 0", " All OFF : 2 Lamp mode"},
    {" 0 1", " No1 ON  : 2 Lamp mode"},
    {" 0 2", " No2 ON  : 2 Lamp mode"},
    {" 0 3", " No1,2 ON  : 2 Lamp mode"},
    {" 1 0", " All OFF : 1 Lamp mode(No1 USE)"},
    {" 1 1", " No1 ON  : 1 Lamp mode(No1 USE)"},
    {" 2 0", " All OFF : 1 Lamp mode(No2 USE)"},
    {" 2 2", " No2 ON  : 1 Lamp mode(No2 USE)"},
}};

// A status query answered from a table, with the length of its key.
struct TableQuery {
  std::string_view query;
  std::span<const Row> rows;
  std::size_t keyLength;
};

inline constexpr std::array<TableQuery, 5> kTableQueries{{
    {"CR0", kPowerStatus, kTwoCharKeyLength},
    {"CR1", kInput, kOneCharKeyLength},
    {"CR4", kImageReversal, kTwoCharKeyLength},
    {"CRA", kMuteAndSignal, kTwoCharKeyLength},
    {"CR7", kLampMode, kTwoCharKeyLength},
}};

}  // namespace mero::link::reply_tables
