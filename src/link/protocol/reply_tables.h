#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>
#include <variant>

#include "link/protocol/status.h"

namespace mero::link::reply_tables {

// What a row means, of the type its table's query fills in the projector's status.
using Meaning = std::variant<PowerStatus, Input, ImageReversal, Mutes, LampMode>;

// One row of a status table: the start of the shown received text, the status line's text for
// it and what it means.
struct Row {
  std::string_view key;
  std::string_view text;
  Meaning meaning;
};

// Keys are read from the start of the shown text, where every reply character is preceded by
// a blank: two reply characters take four shown characters, one takes two.
inline constexpr std::size_t kTwoCharKeyLength = 4;
inline constexpr std::size_t kOneCharKeyLength = 2;

// The power status as the lamp and the fault digits see it.
namespace power {
constexpr PowerStatus Lit(PowerState state, Faults faults = {}) { return {state, true, faults}; }
constexpr PowerStatus Dark(PowerState state, Faults faults = {}) { return {state, false, faults}; }
constexpr Faults kTemperatureWarning{Fault::None, Fault::Warning, Fault::None};
constexpr Faults kLampsFailed{Fault::Error, Fault::None, Fault::None};
constexpr Faults kPowerFailed{Fault::None, Fault::None, Fault::Error};
using enum PowerState;
}  // namespace power

// The texts are kept letter for letter, odd spacing and spelling included ("recoverd",
// "sutandby", " 2 4" without a leading blank, the trailing blank of " NO Key input "): the
// status line has always read exactly so. Do not tidy them.
// Cooling down counts as cooling whatever else the text says; a temperature warning that
// recovered is still a warning.
inline constexpr std::array<Row, 13> kPowerStatus{{
    {" 0 0", " Power ON", power::Lit(power::On)},
    {" 8 0", " Stand by", power::Dark(power::StandBy)},
    {" 4 0", " Count down", power::Lit(power::WarmingUp)},
    {" 2 0", " Cooling down", power::Dark(power::CoolingDown)},
    {" 1 0", " Power Fail", power::Dark(power::Failed, power::kPowerFailed)},
    {" 0 8", " Temperature Warning", power::Lit(power::On, power::kTemperatureWarning)},
    {" 0 2", " NO Key input ", power::Lit(power::On)},
    {" 0 4", " Lamp OFF by PWR Management", power::Dark(power::StandBy)},
    {" 2 8", " Temperature Warning & cooling down",
     power::Dark(power::CoolingDown, power::kTemperatureWarning)},
    {" 2 4", "Cooling down  PWR Management", power::Dark(power::CoolingDown)},
    {" 8 8", " Temperature Warning and recoverd",
     power::Dark(power::StandBy, power::kTemperatureWarning)},
    {" 2 1", " Cooling down (All Lamp FAIL)", power::Dark(power::CoolingDown, power::kLampsFailed)},
    {" 8 1", " Cooling down & sutandby (All Lamp FAIL)",
     power::Dark(power::CoolingDown, power::kLampsFailed)},
}};

inline constexpr std::array<Row, 4> kInput{{
    {" 1", " Computer 1", Input::Computer1},
    {" 2", " Computer 2", Input::Computer2},
    {" 3", " Video", Input::Video},
    {" 4", " Input mode 4", Input::InputMode4},
}};

inline constexpr std::array<Row, 4> kImageReversal{{
    {" 1 1", " Normally", ImageReversal{false, false}},
    {" 1 0", " Top/Bottom reversal", ImageReversal{true, false}},
    {" 0 1", " Left/Right reversal", ImageReversal{false, true}},
    {" 0 0", " Top/Bottom , Left/Right reversal", ImageReversal{true, true}},
}};

// Picture, sound, no signal, stand-by.
inline constexpr std::array<Row, 6> kMuteAndSignal{{
    {" 0 0", " Video & Audio mute OFF", Mutes{false, false, false, false}},
    {" 0 1", " Video mute ON", Mutes{true, false, false, false}},
    {" 0 2", " Audio mute ON", Mutes{false, true, false, false}},
    {" 0 3", " Video & Audio mute ON", Mutes{true, true, false, false}},
    {" 8 0", " No signal", Mutes{false, false, true, false}},
    {" F F", " Stand by", Mutes{false, false, false, true}},
}};

// The lamps in use, then which are lit.
inline constexpr std::array<Row, 8> kLampMode{{
    {" 0 0", " All OFF : 2 Lamp mode", LampMode{LampUse::BothLamps, {false, false}}},
    {" 0 1", " No1 ON  : 2 Lamp mode", LampMode{LampUse::BothLamps, {true, false}}},
    {" 0 2", " No2 ON  : 2 Lamp mode", LampMode{LampUse::BothLamps, {false, true}}},
    {" 0 3", " No1,2 ON  : 2 Lamp mode", LampMode{LampUse::BothLamps, {true, true}}},
    {" 1 0", " All OFF : 1 Lamp mode(No1 USE)", LampMode{LampUse::OnlyLamp1, {false, false}}},
    {" 1 1", " No1 ON  : 1 Lamp mode(No1 USE)", LampMode{LampUse::OnlyLamp1, {true, false}}},
    {" 2 0", " All OFF : 1 Lamp mode(No2 USE)", LampMode{LampUse::OnlyLamp2, {false, false}}},
    {" 2 2", " No2 ON  : 1 Lamp mode(No2 USE)", LampMode{LampUse::OnlyLamp2, {false, true}}},
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

// The row of `table` that the shown text starts with, if any. substr clamps, so a reply still
// arriving yields a short key that matches no row.
inline const Row* FindRow(const TableQuery& table, std::string_view shown) {
  const std::string_view key = shown.substr(0, table.keyLength);
  for (const Row& row : table.rows) {
    if (row.key == key) return &row;
  }
  return nullptr;
}

inline const TableQuery* FindTableQuery(std::string_view code) {
  for (const TableQuery& table : kTableQueries) {
    if (table.query == code) return &table;
  }
  return nullptr;
}

}  // namespace mero::link::reply_tables
