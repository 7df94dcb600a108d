#include "serve/pjlink_session.h"

#include <algorithm>
#include <cctype>

namespace mero::serve {
namespace {

constexpr char kCr = '\r';

bool IsHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }
bool IsCommandLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}
std::string Lower(std::string_view text) {
  std::string lower(text);
  std::ranges::transform(lower, lower.begin(), [](unsigned char c) { return std::tolower(c); });
  return lower;
}
std::string Upper(std::string_view text) {
  std::string upper(text);
  std::ranges::transform(upper, upper.begin(), [](unsigned char c) { return std::toupper(c); });
  return upper;
}

SessionStep Closing(std::string text = {}) {
  return SessionStep{SessionStep::Kind::Close, {}, {}, std::move(text)};
}

// Whether the line (or what has come of it) starts with a digest.
bool CarriesDigest(std::string_view line) {
  return line.size() > kDigestLength && line[kDigestLength] == '%' &&
         std::all_of(line.begin(), line.begin() + kDigestLength, IsHex);
}

// The longest a line may be, with its CR.
std::size_t LongestOf(std::string_view line) {
  return kLongestLine + (CarriesDigest(line) ? kDigestLength : 0);
}

// A client that ends its lines with CR LF leaves the LF in front of the next one.
std::string_view WithoutLf(std::string_view line) {
  if (!line.empty() && line.front() == '\n') line.remove_prefix(1);
  return line;
}

}  // namespace

PjlinkSession::PjlinkSession(std::optional<std::string> digest, std::string random,
                             std::size_t mostPendingBytes)
    : digest_(std::move(digest)),
      random_(std::move(random)),
      authenticated_(!digest_),
      mostPendingBytes_(mostPendingBytes) {}

std::string PjlinkSession::greeting() const {
  return digest_ ? "PJLINK 1 " + random_ + kCr : std::string("PJLINK 0\r");
}

std::string PjlinkSession::AnswerLine(std::string_view command, std::string_view result) {
  std::string line = "%1";
  line += command;
  line += '=';
  line += result;
  line += kCr;
  return line;
}

bool PjlinkSession::receive(std::string_view bytes) {
  pending_ += bytes;
  const std::size_t lastEnd = pending_.rfind(kCr);
  const std::string_view open =
      WithoutLf(std::string_view(pending_).substr(lastEnd == std::string::npos ? 0 : lastEnd + 1));
  return open.size() < LongestOf(open) && pending_.size() <= mostPendingBytes_;
}

std::optional<SessionStep> PjlinkSession::next() {
  const std::size_t end = pending_.find(kCr);
  if (end == std::string::npos) return std::nullopt;
  const std::string line(WithoutLf(std::string_view(pending_).substr(0, end)));
  pending_.erase(0, end + 1);
  if (line.size() + 1 > LongestOf(line)) return Closing();
  return step(line);
}

SessionStep PjlinkSession::step(std::string_view line) {
  if (CarriesDigest(line)) {
    if (digest_ && Lower(line.substr(0, kDigestLength)) != *digest_) {
      return SessionStep{SessionStep::Kind::Denied, {}, {}, "PJLINK ERRA\r"};
    }
    authenticated_ = true;
    line.remove_prefix(kDigestLength);
  }
  if (!authenticated_) return Closing("PJLINK ERRA\r");
  // "%", the class, four letters of command, a blank and the parameter.
  constexpr std::size_t kHeader = 6;
  if (line.size() < kHeader || line[0] != '%' ||
      !std::all_of(line.begin() + 2, line.begin() + kHeader, IsCommandLetter)) {
    return Closing();  // not PJLink: there is nothing to answer it with
  }
  const std::string command = Upper(line.substr(2, 4));
  if (line[1] != '1') {
    std::string text = "%";
    text += line[1];
    text += command + "=ERR1\r";
    if (!IsCommandLetter(line[1])) return Closing();
    proved_ = true;
    return SessionStep{SessionStep::Kind::Answer, command, {}, std::move(text)};
  }
  // Without its blank there is no parameter: the projector's table tells an unknown command
  // (ERR1) from a known one with a parameter out of range (ERR2).
  const bool separated = line.size() > kHeader && line[kHeader] == ' ';
  std::string parameter = separated ? std::string(line.substr(kHeader + 1)) : std::string();
  proved_ = true;
  return SessionStep{SessionStep::Kind::Request, command, std::move(parameter), {}};
}

}  // namespace mero::serve
