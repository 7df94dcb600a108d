#include "serve/projector_json.h"

#include <array>
#include <ctime>

#include "serve/json_text.h"

namespace mero::serve {
namespace {

using link::Fault;
using link::Input;
using link::PowerState;

// clang-format off
constexpr std::array<std::string_view, 5> kPowerWords{"standby", "on", "warming-up", "cooling-down", "failed"};  // by PowerState
constexpr std::array<std::string_view, 4> kInputWords{"pc1", "pc2", "video", "input-mode-4"};                 // by Input
constexpr std::array<std::string_view, 3> kFaultWords{"none", "warning", "error"};                            // by Fault
// clang-format on

std::string Word(std::string_view word) { return json::Quoted(word); }

std::string Utc(double seconds) {
  const auto when = static_cast<std::time_t>(seconds);
  std::tm parts{};
  gmtime_r(&when, &parts);
  std::array<char, 32> text{};
  std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%SZ", &parts);
  return json::Quoted(text.data());
}

std::string Errors(const link::PowerStatus& power) {
  const auto fault = [](Fault f) { return Word(kFaultWords.at(static_cast<std::size_t>(f))); };
  return json::Object()
      .add("lamp", fault(power.faults.lamp))
      .add("temperature", fault(power.faults.temperature))
      .add("other", fault(power.faults.other))
      .text();
}

// Mutes are not told in stand-by or without a signal.
std::optional<bool> Muted(const std::optional<link::Mutes>& mutes, bool link::Mutes::*which) {
  if (!mutes || mutes->standBy || mutes->noSignal) return std::nullopt;
  return (*mutes).*which;
}

}  // namespace

std::string ProjectorJson(const ProjectorFigures& figures, bool keyHeld) {
  const link::ProjectorStatus& status = figures.status;
  json::List degrees;
  for (const std::optional<double>& sensor : status.degrees) {
    degrees.add(json::OrNull(sensor, json::Number));
  }
  return json::Object()
      .add("id", json::Quoted(figures.id))
      .add("name", json::Quoted(figures.name))
      .add("model",
           json::OrNull(status.model, [](const std::string& m) { return json::QuotedBytes(m); }))
      .add("address", json::Quoted(figures.address))
      .add("lineOpen", json::Boolean(figures.lineUp))
      .add("answering", json::Boolean(figures.lineUp && figures.answering))
      .add("power", json::OrNull(status.power,
                                 [](const link::PowerStatus& p) {
                                   return Word(kPowerWords.at(static_cast<std::size_t>(p.state)));
                                 }))
      .add("input",
           json::OrNull(status.input,
                        [](Input i) { return Word(kInputWords.at(static_cast<std::size_t>(i))); }))
      .add("pictureMute", json::OrNull(Muted(status.mutes, &link::Mutes::picture), json::Boolean))
      .add("soundMute", json::OrNull(Muted(status.mutes, &link::Mutes::sound), json::Boolean))
      .add("lampHours",
           json::OrNull(status.lampHours, [](std::int64_t h) { return std::to_string(h); }))
      .add("temperatures", degrees.text())
      .add("errors", json::OrNull(status.power, Errors))
      .add("lastPoll", json::OrNull(figures.lastPollSeconds, Utc))
      .add("busy", json::Boolean(keyHeld))
      .text();
}

}  // namespace mero::serve
