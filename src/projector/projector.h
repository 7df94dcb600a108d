#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace mero::vp {

// Milliseconds on whatever clock the caller drives the projector with.
using Ms = std::int64_t;

inline constexpr char kAck = 6;
inline constexpr char kNak = 21;
inline constexpr char kCr = '\r';

// Power states with their status code as the "CR0" query reports it.
enum class PowerState { StandBy, CountDown, On, CoolingDown };

// Which lamps the projector drives; "CR7" reports it with the lamps lit.
enum class LampMode { TwoLamps, OnlyLamp1, OnlyLamp2 };

struct ProjectorSettings {
  Ms warmUpMs = 5000;    // "C00": count down, then on
  Ms coolDownMs = 5000;  // "C01": cooling down, then stand-by
  int lampHours = 0;     // reading of the lamp-hour counter at start
  // Lamp-on time that adds one hour to the counter; shorten it to watch the counter grow.
  Ms lampHourMs = 3'600'000;
  LampMode lampMode = LampMode::TwoLamps;
  bool flipTopBottom = false;
  bool flipLeftRight = false;
  bool signalPresent = true;  // without a signal "CRA" answers "80" while the lamp is lit
  // Intake, internal and exhaust temperatures in degrees Celsius.
  double temperature1 = 25.5;
  double temperature2 = 30.1;
  double temperature3 = 28.0;
  int pressureReading = 512;                // raw sensor value; 512 stands for about 650 hPa
  std::string model = "QM50 VIRTUAL 1.40";  // the "CR9" answer
};

// The projector's command interpreter, without I/O and without a clock of its own: every call
// takes the current time, which must not go backwards (an earlier time counts as the latest
// one seen).
//
// Replies, each ending with CR:
//   key commands of the panel      ACK
//   "CR0" power status             "80" stand-by, "40" count down, "00" on, "20" cooling down
//   "CR1" input                    "1" PC1, "2" PC2, "3" Video
//   "CR3" lamp hours               five digits, "00000" to "99999"
//   "CR4" image reversal           "11" normal, "10" top/bottom, "01" left/right, "00" both
//   "CR6" temperatures             17 characters "sDD.D  DD.D sDD.D": sign, two digits, a point
//                                  and one digit for the first and third, no sign for the
//                                  second (so that each lands where the panel reads it)
//   "CR7" lamp mode and lamps lit  "00".."03" two-lamp mode, "10"/"11" lamp 1, "20"/"22" lamp 2
//   "CR9" model                    the model text
//   "CRA" mute                     "00" none, "01" video, "02" audio, "03" both, "80" no
//                                  signal, "FF" in stand-by
//   "CR PRESSURE"                  the raw reading in decimal
//   anything else, or nothing      NAK
// The lamp is lit in count down and on, but the hour counter runs only while on.
class Projector {
 public:
  explicit Projector(ProjectorSettings settings = {});

  // One command, without its CR, received at `now`; returns the reply bytes.
  std::string Handle(std::string_view command, Ms now);

  PowerState Power(Ms now);
  int LampHours(Ms now);
  int Input() const { return input_; }
  bool AudioMuted() const { return audioMute_; }
  bool VideoMuted() const { return videoMute_; }

  // Changes to the readings and modes that no key of the panel makes.
  ProjectorSettings& Settings() { return settings_; }

 private:
  void Advance(Ms now);
  std::string StatusReply(std::string_view query) const;
  bool LampLit() const;
  int CounterHours() const;

  ProjectorSettings settings_;
  PowerState power_ = PowerState::StandBy;
  Ms now_ = 0;
  Ms stateSince_ = 0;
  Ms lampOnMs_ = 0;
  int input_ = 1;
  bool audioMute_ = false;
  bool videoMute_ = false;
};

}  // namespace mero::vp
