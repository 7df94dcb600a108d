#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace mero::serve {

// PJLink Class 1 framing: "%1" + command + " " + parameter + CR, at most 128 bytes of
// parameter, so 136 bytes with the CR; the first command after a greeting that asked for
// authentication carries 32 hexadecimal digits in front, which do not count against it.
inline constexpr std::size_t kLongestParameter = 128;
inline constexpr std::size_t kDigestLength = 32;
inline constexpr std::size_t kLongestLine = 8 + kLongestParameter;  // with CR, without digest

// What one projector's PJLink server grants its clients. Each bound reached closes the client
// (or turns the newcomer away) and counts it as refused.
struct PjlinkLimits {
  // A client that says nothing for this long is disconnected, as PJLink projectors do.
  int idleMs = 30000;
  // A room controller keeps one connection, so more than this is a scan or a flood.
  int mostClients = 64;
  // Connections from one address: a controller needs one, a room a few.
  int mostPerAddress = 8;
  // Places a client may hold before its first request is answered. A newcomer finding them
  // all taken closes the oldest of the address that holds most, so that a flood of silent
  // connections never keeps out a controller that knows the password; the other places
  // only a client that has authenticated keeps.
  int mostUnauthenticated = 16;
  // A controller sends its first request as soon as it is greeted; waiting is holding a place.
  int firstRequestMs = 5000;
  // A wrong digest is answered after this, doubled for each further failure of the address
  // up to the longest, until the address has been quiet for a minute; then the connection
  // closes.
  int failureDelayMs = 1000;
  int longestFailureDelayMs = 8000;
  // Addresses whose failures are remembered; those beyond share one record.
  std::size_t mostFailingAddresses = 1024;
  // How long a closing client may take to receive its last answer.
  int closingMs = 5000;
  // Out of descriptors, the server stops accepting for this long, or until a client leaves.
  int acceptPauseMs = 1000;
  // Answers a client has not taken, in bytes, before it counts as gone.
  std::int64_t mostUnsentBytes = 4096;
  // Lines a client may send ahead of its answers, in bytes; more is not a controller.
  std::size_t mostPendingBytes = 1024;
  // What a client's socket reads from the system at a time: what is left waits in the
  // kernel, so a client that sends faster than it is answered is slowed down, not buffered.
  std::int64_t readChunk = 512;
};

// What the next line a client sent comes to.
struct SessionStep {
  enum class Kind {
    Request,  // a command for the projector: `command`, `parameter`
    Answer,   // `text` goes back at once
    Close,    // `text` (if any) goes back, then the connection is closed
    Denied,   // a wrong digest: "PJLINK ERRA" goes back after a delay, then the close
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
  PjlinkSession(std::optional<std::string> digest, std::string random,
                std::size_t mostPendingBytes = PjlinkLimits{}.mostPendingBytes);

  std::string greeting() const;
  // Bytes as they came. False once the bytes waiting exceed a line without its CR: the
  // client is closed without an answer.
  bool receive(std::string_view bytes);
  // The step of the next whole line, if one has come.
  std::optional<SessionStep> next();
  // Whether a request has proved the digest (or, without a password, come at all).
  bool authenticated() const { return authenticated_ && proved_; }

  // The answer line to a request.
  static std::string AnswerLine(std::string_view command, std::string_view result);

 private:
  SessionStep step(std::string_view line);

  std::optional<std::string> digest_;
  std::string random_;
  bool authenticated_;
  bool proved_ = false;
  std::size_t mostPendingBytes_;
  std::string pending_;
};

}  // namespace mero::serve
