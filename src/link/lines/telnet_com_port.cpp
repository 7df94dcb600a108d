#include "link/lines/telnet_com_port.h"

#include <array>

namespace mero::link {
namespace {

// Telnet (RFC 854, 856, 858) and its COM-PORT option (RFC 2217).
constexpr std::uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251;
constexpr std::uint8_t kSb = 250, kSe = 240;
constexpr std::uint8_t kBinary = 0, kSuppressGoAhead = 3, kComPort = 44;
constexpr std::uint8_t kSetBaud = 1, kSetDataSize = 2, kSetParity = 3, kSetStopSize = 4;
// The server answers a client's command with the command's number plus this.
constexpr std::uint8_t kServerAnswer = 100;

// Parity and stop-bit values on the wire (RFC 2217, SET-PARITY and SET-STOPSIZE).
constexpr std::array kParities = {Parity::None, Parity::Odd, Parity::Even, Parity::Mark,
                                  Parity::Space};                                        // 1 to 5
constexpr std::array kStopSizes = {StopBits::One, StopBits::Two, StopBits::OneAndHalf};  // 1 to 3

template <typename Value, std::size_t N>
std::uint8_t WireValue(const std::array<Value, N>& values, Value value) {
  for (std::size_t i = 0; i < N; ++i) {
    if (values[i] == value) return static_cast<std::uint8_t>(i + 1);
  }
  return 1;
}

std::string ShowParity(std::uint8_t wire) {
  if (wire >= 1 && wire <= kParities.size())
    return std::string(1, ParityLetter(kParities[wire - 1]));
  return "value " + std::to_string(wire);
}

std::string ShowStopSize(std::uint8_t wire) {
  static constexpr std::array<std::string_view, 3> kShown = {"1", "2", "1.5"};
  if (wire >= 1 && wire <= kShown.size()) return std::string(kShown[wire - 1]);
  return "value " + std::to_string(wire);
}

bool Wanted(std::uint8_t option) {
  return option == kBinary || option == kSuppressGoAhead || option == kComPort;
}

std::string Bytes(std::initializer_list<std::uint8_t> values) {
  std::string out;
  for (const std::uint8_t v : values) out += static_cast<char>(v);
  return out;
}

std::string Sub(std::uint8_t command, std::string_view value) {
  return Bytes({kIac, kSb, kComPort, command}) + TelnetComPort::Escape(value) + Bytes({kIac, kSe});
}

}  // namespace

TelnetComPort::TelnetComPort() {
  // As offered by the greeting.
  weWill_[kComPort] = weWill_[kBinary] = weWill_[kSuppressGoAhead] = true;
  theyWill_[kBinary] = theyWill_[kSuppressGoAhead] = true;
}

std::string TelnetComPort::Greeting() {
  return Bytes({kIac, kWill, kComPort, kIac, kWill, kBinary, kIac, kDo, kBinary, kIac, kWill,
                kSuppressGoAhead, kIac, kDo, kSuppressGoAhead});
}

std::string TelnetComPort::Escape(std::string_view data) {
  std::string out;
  out.reserve(data.size());
  for (const char c : data) {
    out += c;
    if (static_cast<std::uint8_t>(c) == kIac) out += c;
  }
  return out;
}

std::string TelnetComPort::SetLine(const LineSettings& line) {
  const std::string parity(1, static_cast<char>(WireValue(kParities, line.parity)));
  const auto b = static_cast<std::uint32_t>(line.baudRate);
  return Sub(kSetBaud,
             Bytes({static_cast<std::uint8_t>(b >> 24), static_cast<std::uint8_t>(b >> 16),
                    static_cast<std::uint8_t>(b >> 8), static_cast<std::uint8_t>(b)})) +
         Sub(kSetDataSize, Bytes({static_cast<std::uint8_t>(line.dataBits)})) +
         Sub(kSetParity, parity) + Sub(kSetStopSize, Bytes({WireValue(kStopSizes, line.stopBits)}));
}

std::string TelnetComPort::receive(std::string_view bytes, std::string& answer) {
  std::string data;
  for (const char c : bytes) take(c, data, answer);
  return data;
}

void TelnetComPort::take(char c, std::string& data, std::string& answer) {
  const auto byte = static_cast<std::uint8_t>(c);
  switch (state_) {
    case State::Data:
      if (byte == kIac) {
        state_ = State::Iac;
      } else {
        data += c;
      }
      return;
    case State::Iac:
      afterIac(c, data);
      return;
    case State::Verb:
      negotiate(verb_, byte, answer);
      state_ = State::Data;
      return;
    case State::Sub:
      if (byte == kIac) {
        state_ = State::SubIac;
      } else {
        keepSub(c);
      }
      return;
    case State::SubIac:
      if (byte == kSe) {
        subNegotiation();
        state_ = State::Data;
      } else {
        state_ = State::Sub;
        keepSub(c);  // a doubled 255 inside the sub-negotiation
      }
      return;
    case State::Skip:
      if (byte == kIac) state_ = State::SkipIac;
      return;
    case State::SkipIac:
      state_ = byte == kSe ? State::Data : State::Skip;
      return;
  }
}

void TelnetComPort::afterIac(char c, std::string& data) {
  const auto byte = static_cast<std::uint8_t>(c);
  if (byte == kIac) {
    data += c;
    state_ = State::Data;
  } else if (byte == kSb) {
    sub_.clear();
    state_ = State::Sub;
  } else if (byte >= kWill && byte <= kDont) {
    verb_ = byte;
    state_ = State::Verb;
  } else {
    state_ = State::Data;  // a one-byte command (NOP, GA, ...): nothing to do
  }
}

// Each side of an option changes state at most once per request of the server, and only a
// change is answered, so negotiation cannot loop (RFC 854's rule against acknowledging an
// option already in force).
void TelnetComPort::negotiate(std::uint8_t verb, std::uint8_t option, std::string& answer) {
  switch (verb) {
    case kDo:
      if (Wanted(option) && !weWill_[option]) {
        weWill_[option] = true;
        answer += Bytes({kIac, kWill, option});
      } else if (!Wanted(option) && !refusedDo_[option]) {
        refusedDo_[option] = true;
        answer += Bytes({kIac, kWont, option});
      }
      break;
    case kDont:
      if (option == kComPort) comPortRefused_ = true;
      if (weWill_[option]) {
        weWill_[option] = false;
        answer += Bytes({kIac, kWont, option});
      }
      break;
    case kWill:
      if (Wanted(option) && !theyWill_[option]) {
        theyWill_[option] = true;
        answer += Bytes({kIac, kDo, option});
      } else if (!Wanted(option) && !refusedWill_[option]) {
        refusedWill_[option] = true;
        answer += Bytes({kIac, kDont, option});
      }
      break;
    case kWont:
      if (theyWill_[option]) {
        theyWill_[option] = false;
        answer += Bytes({kIac, kDont, option});
      }
      break;
    default:
      break;
  }
}

void TelnetComPort::keepSub(char c) {
  if (sub_.size() < kLongestSubNegotiation) {
    sub_ += c;
    return;
  }
  sub_.clear();
  state_ = State::Skip;
}

void TelnetComPort::subNegotiation() {
  if (sub_.size() < 2 || static_cast<std::uint8_t>(sub_[0]) != kComPort) return;
  const auto command = static_cast<std::uint8_t>(sub_[1]);
  const std::string_view value = std::string_view(sub_).substr(2);
  const auto at = [&](std::size_t i) { return static_cast<std::uint8_t>(value[i]); };
  if (command == kServerAnswer + kSetBaud && value.size() == 4) {
    baud_ = (std::uint32_t{at(0)} << 24) | (std::uint32_t{at(1)} << 16) |
            (std::uint32_t{at(2)} << 8) | at(3);
  } else if (command == kServerAnswer + kSetDataSize && value.size() == 1) {
    dataBits_ = at(0);
  } else if (command == kServerAnswer + kSetParity && value.size() == 1) {
    parity_ = at(0);
  } else if (command == kServerAnswer + kSetStopSize && value.size() == 1) {
    stopBits_ = at(0);
    ++answers_;
  }
}

std::vector<std::string> TelnetComPort::mismatches(const LineSettings& requested) const {
  std::vector<std::string> out;
  if (baud_ && *baud_ != static_cast<std::uint32_t>(requested.baudRate)) {
    out.push_back("the speed " + std::to_string(*baud_) + " instead of " +
                  std::to_string(requested.baudRate));
  }
  if (dataBits_ && *dataBits_ != requested.dataBits) {
    out.push_back(std::to_string(*dataBits_) + " data bits instead of " +
                  std::to_string(requested.dataBits));
  }
  if (parity_ && *parity_ != WireValue(kParities, requested.parity)) {
    out.push_back("the parity " + ShowParity(*parity_) + " instead of " +
                  ParityLetter(requested.parity));
  }
  if (stopBits_ && *stopBits_ != WireValue(kStopSizes, requested.stopBits)) {
    out.push_back(ShowStopSize(*stopBits_) + " stop bits instead of " +
                  ShowStopSize(WireValue(kStopSizes, requested.stopBits)));
  }
  return out;
}

}  // namespace mero::link
