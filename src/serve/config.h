#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mero::serve {

// An address and port to listen on; the address is an IPv4 or IPv6 literal.
struct ListenAddress {
  std::string host;
  std::uint16_t port = 0;
  friend bool operator==(const ListenAddress&, const ListenAddress&) = default;
};

inline constexpr std::uint16_t kPjlinkPort = 4352;
inline constexpr std::uint16_t kMetricsPort = 9470;
inline constexpr int kDefaultPollSeconds = 60;
inline constexpr int kShortestPollSeconds = 5;
inline constexpr int kLongestPollSeconds = 86400;
// Bounds on what a file may ask for: each projector holds a line, a listening socket and its
// clients.
inline constexpr std::size_t kMostProjectors = 1000;
inline constexpr std::size_t kLongestConfigFile = std::size_t{1} << 20;
inline constexpr std::size_t kLongestName = 64;      // PJLink's NAME
inline constexpr std::size_t kLongestPassword = 32;  // PJLink's password
// The token that allows changes from the web page and the API: long enough not to be guessed
// at the rate the service answers.
inline constexpr std::size_t kShortestToken = 16;
inline constexpr std::size_t kLongestToken = 128;

struct ProjectorConfig {
  std::string id = {};       // the section: how logs and metrics name it
  std::string name = {};     // NAME ? answers it
  std::string address = {};  // a device path or a device server's address
  int speed = 19200;
  ListenAddress pjlink{"127.0.0.1", kPjlinkPort};
  // A raw TCP line to the projector for one technician at a time; none by default.
  std::optional<ListenAddress> maintenance = std::nullopt;
  std::string password = {};  // empty: no authentication
  // Where the password is read from instead, by ReadSecrets: a file's first line, or the
  // file of that name in $CREDENTIALS_DIRECTORY.
  std::string passwordFile = {};
  std::string passwordCredential = {};
  int secretLine = 0;  // where either stands, for a mistake in reading it
  friend bool operator==(const ProjectorConfig&, const ProjectorConfig&) = default;
};

// Whether a projector running as `running` keeps its line and its PJLink clients when a reload
// says `next`: only what a client or the line holds on to counts, so that a new name or poll
// interval applies in place.
bool KeepsConnections(const ProjectorConfig& running, const ProjectorConfig& next);

struct ServiceConfig {
  std::optional<ListenAddress> metrics = ListenAddress{"127.0.0.1", kMetricsPort};
  int pollSeconds = kDefaultPollSeconds;
  std::vector<ProjectorConfig> projectors;
  // The web page's and the API's token for changes, read by ReadSecrets from a file's first
  // line or from the credential of that name; empty: no change is taken.
  std::string token = {};
  std::string tokenFile = {};
  std::string tokenCredential = {};
  int tokenLine = 0;
  // What the operator should change though the service runs: the service logs each once.
  std::vector<std::string> warnings;
};

// The configuration `text` describes, or its first mistake: "FILE:LINE: key: what is wrong".
// `file` only names the file in mistakes. The format is described in mero-control-serve.conf(5).
struct ConfigResult {
  std::optional<ServiceConfig> config;
  std::string error;
};
ConfigResult ParseConfig(const std::string& file, std::string_view text);

// What --check says of a configuration: each projector, then the service, one "key = value"
// a line as the file would write it, except that a password is only said to be set or not;
// then the warnings.
std::string DescribeConfig(const ServiceConfig& config);

// Reads "[ADDRESS:]PORT", "[IPV6]:PORT"; the address defaults to 127.0.0.1.
std::optional<ListenAddress> ParseListenAddress(const std::string& text);
// The address as the file writes it: "127.0.0.1:4352", "[::1]:4352".
std::string ListenText(const ListenAddress& listen);

}  // namespace mero::serve
