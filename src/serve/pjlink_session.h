#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace mero::serve {

// PJLink Class 1 framing: "%1" + command + " " + parameter + CR, at most 128 bytes of
// parameter, so 136 bytes with the CR; the first command after a greeting that asked for
// authentication carries 32 hexadecimal digits in front.
inline constexpr std::size_t kLongestParameter = 128;
inline constexpr std::size_t kDigestLength = 32;
inline constexpr std::size_t kLongestLine = kDigestLength + 8 + kLongestParameter;  // with CR
// A client that says nothing for this long is disconnected, as PJLink projectors do.
inline constexpr int kIdleLimitMs = 30000;

// What the next line a client sent comes to.
struct SessionStep {
  enum class Kind {
    Request,  // a command for the projector: `command`, `parameter`
    Answer,   // `text` goes back at once
    Close,    // `text` (if any) goes back, then the connection is closed
  };
  Kind kind = Kind::Close;
  std::string command;
  std::string parameter;
  std::string text;  // with its CR
};

// One client connection's side of PJLink: its greeting, the lines it has sent, the check of
// its digest. Plain code; the connection feeds it bytes and acts on its steps.
class PjlinkSession {
 public:
  // `digest`: what the client must prove with its first command; none without a password.
  // `random`: the greeting's random digits, with a password.
  PjlinkSession(std::optional<std::string> digest, std::string random);

  std::string greeting() const;
  // Bytes as they came. False once the bytes waiting exceed a line without its CR: the
  // client is closed without an answer.
  bool receive(std::string_view bytes);
  // The step of the next whole line, if one has come.
  std::optional<SessionStep> next();

  // The answer line to a request.
  static std::string AnswerLine(std::string_view command, std::string_view result);

 private:
  SessionStep step(std::string_view line);

  std::optional<std::string> digest_;
  std::string random_;
  bool authenticated_;
  std::string pending_;
};

}  // namespace mero::serve
