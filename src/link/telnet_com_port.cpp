#include "link/telnet_com_port.h"

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
constexpr std::array<char, 5> kParities = {'N', 'O', 'E', 'M', 'S'};  // 1 to 5

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

std::string TelnetComPort::SetLine(const Line& line) {
  std::string parity(1, '\1');
  for (std::size_t i = 0; i < kParities.size(); ++i) {
    if (kParities[i] == line.parity) parity[0] = static_cast<char>(i + 1);
  }
  const std::uint32_t b = line.baud;
  return Sub(kSetBaud,
             Bytes({static_cast<std::uint8_t>(b >> 24), static_cast<std::uint8_t>(b >> 16),
                    static_cast<std::uint8_t>(b >> 8), static_cast<std::uint8_t>(b)})) +
         Sub(kSetDataSize, Bytes({line.dataBits})) + Sub(kSetParity, parity) +
         Sub(kSetStopSize, Bytes({line.stopBits}));
}

std::string TelnetComPort::Receive(std::string_view bytes, std::string& answer) {
  std::string data;
  for (const char c : bytes) {
    const auto byte = static_cast<std::uint8_t>(c);
    switch (state_) {
      case State::Data:
        if (byte == kIac) {
          state_ = State::Iac;
        } else {
          data += c;
        }
        break;
      case State::Iac:
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
        break;
      case State::Verb:
        Command(verb_, byte, answer);
        state_ = State::Data;
        break;
      case State::Sub:
        if (byte == kIac) {
          state_ = State::SubIac;
        } else {
          sub_ += c;
        }
        break;
      case State::SubIac:
        if (byte == kSe) {
          SubNegotiation();
          state_ = State::Data;
        } else {
          sub_ += c;  // a doubled 255 inside the sub-negotiation
          state_ = State::Sub;
        }
        break;
    }
  }
  return data;
}

// Each side of an option changes state at most once per request of the server, and only a
// change is answered, so negotiation cannot loop (RFC 854's rule against acknowledging an
// option already in force).
void TelnetComPort::Command(std::uint8_t verb, std::uint8_t option, std::string& answer) {
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

void TelnetComPort::SubNegotiation() {
  if (sub_.size() < 2 || static_cast<std::uint8_t>(sub_[0]) != kComPort) return;
  const auto command = static_cast<std::uint8_t>(sub_[1]);
  const std::string_view value = std::string_view(sub_).substr(2);
  const auto at = [&](std::size_t i) { return static_cast<std::uint8_t>(value[i]); };
  if (command == kServerAnswer + kSetBaud && value.size() == 4) {
    baud_ = (std::uint32_t{at(0)} << 24) | (std::uint32_t{at(1)} << 16) |
            (std::uint32_t{at(2)} << 8) | at(3);
  } else if (command == kServerAnswer + kSetDataSize && value.size() == 1) {
    dataBits_ = at(0);
  } else if (command == kServerAnswer + kSetParity && value.size() == 1 && at(0) >= 1 &&
             at(0) <= kParities.size()) {
    parity_ = kParities[at(0) - 1];
  } else if (command == kServerAnswer + kSetStopSize && value.size() == 1) {
    stopBits_ = at(0);
    ++answers_;
  }
}

}  // namespace mero::link
