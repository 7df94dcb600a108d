#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/port/line_settings.h"

namespace mero::link {

// The client side of a telnet connection to a serial device server with the COM-PORT option
// (RFC 2217): data bytes escaped and unescaped (255 is doubled), the options negotiated that
// a serial line needs (binary both ways, no go-ahead, COM-PORT), line settings sent and the
// server's answers kept. Toolkit-free: bytes in, bytes out.
class TelnetComPort {
 public:
  // The longest sub-negotiation kept: the COM-PORT answers are a few bytes. A longer one is
  // dropped and the rest of it skipped up to its end.
  static constexpr std::size_t kLongestSubNegotiation = 64;

  // A session whose greeting has been sent.
  TelnetComPort();

  // What the client says first.
  static std::string Greeting();
  // Data for the line, escaped for telnet.
  static std::string Escape(std::string_view data);
  // The requests that set the server's line.
  static std::string SetLine(const LineSettings& line);

  // Takes bytes from the server; returns the data bytes among them. What the client must
  // answer (option negotiation) is appended to `answer`. Commands may be split across calls.
  std::string receive(std::string_view bytes, std::string& answer);

  // The line as the server last confirmed it, field by field, as the values on the wire.
  const std::optional<std::uint32_t>& confirmedBaud() const { return baud_; }
  const std::optional<std::uint8_t>& confirmedDataBits() const { return dataBits_; }
  const std::optional<std::uint8_t>& confirmedParity() const { return parity_; }
  const std::optional<std::uint8_t>& confirmedStopBits() const { return stopBits_; }
  // Each confirmed field that differs from `requested`, in words ("the speed 9600 instead of
  // 19200"), each on its own whatever the others hold; a field not confirmed is not compared.
  std::vector<std::string> mismatches(const LineSettings& requested) const;
  // Complete answers to SetLine so far (the stop size is the last of each).
  int answersReceived() const { return answers_; }
  // The server said it will not take the COM-PORT option.
  bool comPortRefused() const { return comPortRefused_; }

 private:
  void negotiate(std::uint8_t verb, std::uint8_t option, std::string& answer);
  void take(char c, std::string& data, std::string& answer);
  void afterIac(char c, std::string& data);
  void keepSub(char c);
  void subNegotiation();

  enum class State { Data, Iac, Verb, Sub, SubIac, Skip, SkipIac } state_ = State::Data;
  std::uint8_t verb_ = 0;
  std::string sub_;
  // Options in force, so that an answer is given once per change and never loops.
  std::array<bool, 256> weWill_{};
  std::array<bool, 256> theyWill_{};
  std::array<bool, 256> refusedDo_{};
  std::array<bool, 256> refusedWill_{};
  std::optional<std::uint32_t> baud_;
  std::optional<std::uint8_t> dataBits_;
  std::optional<std::uint8_t> parity_;
  std::optional<std::uint8_t> stopBits_;
  bool comPortRefused_ = false;
  int answers_ = 0;
};

}  // namespace mero::link
