#include "projector/projector.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

namespace mero::vp {
namespace {

// Commands that only act on the picture or the menus: the projector takes them with an ACK
// and nothing here depends on them.
// clang-format off
constexpr auto kKeyCommands = std::to_array<std::string_view>({
    "C09", "C0A", "C0F", "C10", "C11", "C12", "C13", "C14", "C15", "C16", "C17",
    "C18", "C19", "C1C", "C1D", "C1E", "C20", "C21", "C24", "C25", "C26", "C27",
    "C30", "C31", "C32", "C33", "C34", "C3A", "C3B", "C3C", "C3D", "C3F", "C43",
    "C44", "C50", "C52", "C53", "C89", "C8A", "C8E", "C8F",
    "CF KEYDIS NONE", "CF KEYDIS RC", "CF KEYDIS KEY",
    "CF TERMINAL COMPUTER", "CF TERMINAL MONITOR",
    "CF LOGOCAPTURE START", "CF LOGO OFF", "CF LOGO DEFAULT", "CF LOGO USER",
    "CF FANSPEED MAX", "CF FANSPEED NOR",
});
// clang-format on

constexpr int kMaxLampHours = 99'999;
constexpr double kMaxTemperature = 99.9;
constexpr int kMuteVideo = 1;
constexpr int kMuteAudio = 2;
constexpr int kLamp1 = 1;
constexpr int kLamp2 = 2;

std::string WithCr(std::string text) {
  text += kCr;
  return text;
}

// A one-character code followed by a number: "03", "12", ...
std::string CodeAndNumber(char code, int number) {
  std::string text(1, code);
  text += std::to_string(number);
  return text;
}

// The power state as CR0 gives it.
std::string PowerReply(PowerState power) {
  switch (power) {
    case PowerState::StandBy:
      return "80";
    case PowerState::CountDown:
      return "40";
    case PowerState::On:
      return "00";
    case PowerState::CoolingDown:
      return "20";
  }
  return {};
}

// The lamps as CR7 gives them: which are fitted and, while lit, which burn.
std::string LampReply(LampMode mode, bool lit) {
  switch (mode) {
    case LampMode::TwoLamps:
      return lit ? CodeAndNumber('0', kLamp1 | kLamp2) : "00";
    case LampMode::OnlyLamp1:
      return lit ? CodeAndNumber('1', kLamp1) : "10";
    case LampMode::OnlyLamp2:
      return lit ? CodeAndNumber('2', kLamp2) : "20";
  }
  return {};
}

// Five characters "+DD.D" when signed, four "DD.D" otherwise, clamped to what fits.
std::string Temperature(double celsius, bool withSign) {
  const double low = withSign ? -kMaxTemperature : 0.0;
  std::array<char, 16> text{};
  std::snprintf(text.data(), text.size(), withSign ? "%+05.1f" : "%04.1f",
                std::clamp(celsius, low, kMaxTemperature));
  return text.data();
}

}  // namespace

Projector::Projector(ProjectorSettings settings) : settings_(std::move(settings)) {}

void Projector::Advance(Ms now) {
  now = std::max(now, now_);
  Ms lampFrom = now_;
  if (power_ == PowerState::CountDown && now >= stateSince_ + settings_.warmUpMs) {
    power_ = PowerState::On;
    stateSince_ += settings_.warmUpMs;
    lampFrom = stateSince_;
  }
  if (power_ == PowerState::CoolingDown && now >= stateSince_ + settings_.coolDownMs) {
    power_ = PowerState::StandBy;
    stateSince_ += settings_.coolDownMs;
  }
  if (power_ == PowerState::On) lampOnMs_ += now - lampFrom;
  now_ = now;
}

PowerState Projector::Power(Ms now) {
  Advance(now);
  return power_;
}

int Projector::LampHours(Ms now) {
  Advance(now);
  return CounterHours();
}

int Projector::CounterHours() const {
  const Ms hourMs = std::max<Ms>(settings_.lampHourMs, 1);
  return static_cast<int>(std::min<Ms>(settings_.lampHours + lampOnMs_ / hourMs, kMaxLampHours));
}

bool Projector::LampLit() const {
  return power_ == PowerState::CountDown || power_ == PowerState::On;
}

std::string Projector::Handle(std::string_view command, Ms now) {
  Advance(now);
  if (command.starts_with("CR")) {
    std::string reply = StatusReply(command);
    return reply.empty() ? WithCr(std::string(1, kNak)) : WithCr(std::move(reply));
  }
  if (command == "C00") {
    if (power_ == PowerState::StandBy) {
      power_ = PowerState::CountDown;
      stateSince_ = now_;
      Advance(now_);  // a zero warm-up is on at once
    }
  } else if (command == "C01") {
    // Switching off during the count down still cools the lamp that was just struck.
    if (LampLit()) {
      power_ = PowerState::CoolingDown;
      stateSince_ = now_;
      Advance(now_);
    }
  } else if (command == "C05" || command == "C06" || command == "C07") {
    input_ = command.back() - '5' + 1;
  } else if (command == "C0B" || command == "C0C") {
    audioMute_ = command == "C0B";
  } else if (command == "C0D" || command == "C0E") {
    videoMute_ = command == "C0D";
  } else if (std::ranges::find(kKeyCommands, command) == kKeyCommands.end()) {
    return WithCr(std::string(1, kNak));
  }
  return WithCr(std::string(1, kAck));
}

// The reply text without its CR, or empty for a query the projector does not know.
std::string Projector::StatusReply(std::string_view query) const {
  std::array<char, 16> digits{};
  if (query == "CR0") return PowerReply(power_);
  if (query == "CR1") return std::to_string(input_);
  if (query == "CR3") {
    std::snprintf(digits.data(), digits.size(), "%05d", CounterHours());
    return digits.data();
  }
  if (query == "CR4") {
    return std::string{settings_.flipLeftRight ? '0' : '1', settings_.flipTopBottom ? '0' : '1'};
  }
  if (query == "CR6") {
    return Temperature(settings_.temperature1, true) + "  " +
           Temperature(settings_.temperature2, false) + " " +
           Temperature(settings_.temperature3, true);
  }
  if (query == "CR7") return LampReply(settings_.lampMode, LampLit());
  if (query == "CR9") return settings_.model;
  if (query == "CRA") {
    if (power_ == PowerState::StandBy) return "FF";
    if (LampLit() && !settings_.signalPresent) return "80";
    const int mute = (videoMute_ ? kMuteVideo : 0) | (audioMute_ ? kMuteAudio : 0);
    return CodeAndNumber('0', mute);
  }
  if (query == "CR PRESSURE") return std::to_string(settings_.pressureReading);
  return {};
}

}  // namespace mero::vp
