#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace mero::link {

enum class PowerState { StandBy, On, WarmingUp, CoolingDown, Failed };

// How bad a fault is, in the digits PJLink's error status uses.
enum class Fault : std::uint8_t { None = 0, Warning = 1, Error = 2 };

// The faults the power status tells; the projector reports no fan, cover or filter faults.
struct Faults {
  Fault lamp = Fault::None;
  Fault temperature = Fault::None;
  Fault other = Fault::None;
  bool operator==(const Faults&) const = default;
};

struct PowerStatus {
  PowerState state = PowerState::StandBy;
  bool lampLit = false;
  Faults faults;
  bool operator==(const PowerStatus&) const = default;
};

enum class Input { Computer1, Computer2, Video, InputMode4 };

struct ImageReversal {
  bool topBottom = false;
  bool leftRight = false;
  bool operator==(const ImageReversal&) const = default;
};

// Without a signal, or in stand-by, the projector does not tell its mutes.
struct Mutes {
  bool picture = false;
  bool sound = false;
  bool noSignal = false;
  bool standBy = false;
  bool operator==(const Mutes&) const = default;
};

enum class LampUse { BothLamps, OnlyLamp1, OnlyLamp2 };

struct LampMode {
  LampUse use = LampUse::BothLamps;
  std::array<bool, 2> lit{};
  bool operator==(const LampMode&) const = default;
};

// What the projector's replies to its status queries have told; a field is missing until a
// reply to its query has been understood.
struct ProjectorStatus {
  std::optional<PowerStatus> power;                // "CR0"
  std::optional<Input> input;                      // "CR1"
  std::optional<std::int64_t> lampHours;           // "CR3"
  std::optional<ImageReversal> reversal;           // "CR4"
  std::array<std::optional<double>, 3> degrees{};  // "CR6", by sensor
  std::optional<LampMode> lampMode;                // "CR7"
  std::optional<std::string> model;                // "CR9"
  std::optional<Mutes> mutes;                      // "CRA"
  std::optional<std::int64_t> hPa;                 // "CR PRESSURE"
};

// Folds the reply (the bytes as received, CR included) to the status query `code` into
// `status`. False, with `status` unchanged, when the reply is not understood: it fits no row,
// has no figure where one belongs, or `code` is no status query.
bool FoldReply(ProjectorStatus& status, std::string_view code, std::string_view reply);

}  // namespace mero::link
