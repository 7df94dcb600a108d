#include "serve/config.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <map>
#include <set>

#include "link/port/network_address.h"

namespace mero::serve {
namespace {

constexpr std::string_view kServiceSection = "service";

bool IsLiteral(const std::string& host) {
  std::array<unsigned char, 16> buffer{};
  return inet_pton(AF_INET, host.c_str(), buffer.data()) == 1 ||
         inet_pton(AF_INET6, host.c_str(), buffer.data()) == 1;
}

std::optional<int> Integer(const std::string& text) {
  int value = 0;
  const char* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || at != end || text.empty()) return std::nullopt;
  return value;
}

bool Printable(const std::string& text) {
  return std::ranges::all_of(
      text, [](char c) { return static_cast<unsigned char>(c) >= ' ' && c != 127; });
}

bool IsIdentifier(const std::string& id) {
  return !id.empty() && id.size() <= kLongestName && std::ranges::all_of(id, [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.';
  });
}

class Builder {
 public:
  Builder(std::string file, const std::vector<std::pair<std::string, int>>& sectionLines)
      : file_(std::move(file)) {
    for (const auto& [section, line] : sectionLines) lines_.emplace(section, line);
  }

  bool fail(int line, const std::string& key, const std::string& what) {
    if (error_.empty()) {
      error_ = file_ + ":" + std::to_string(line) + ": " + (key.empty() ? "" : key + ": ") + what;
    }
    return false;
  }
  int sectionLine(const std::string& section) const {
    const auto it = lines_.find(section);
    return it == lines_.end() ? 0 : it->second;
  }
  bool service(ServiceConfig& config, const ConfigEntry& entry);
  bool projector(ProjectorConfig& projector, const ConfigEntry& entry);
  std::string error() const { return error_; }

 private:
  std::string file_;
  std::map<std::string, int> lines_;
  std::string error_;
};

bool Builder::service(ServiceConfig& config, const ConfigEntry& entry) {
  if (entry.key == "metrics") {
    if (entry.value == "off") {
      config.metrics.reset();
      return true;
    }
    config.metrics = ParseListenAddress(entry.value);
    if (!config.metrics) {
      return fail(entry.line, entry.key, "\"" + entry.value + "\" is not [ADDRESS:]PORT or off");
    }
    return true;
  }
  if (entry.key == "poll-interval") {
    const std::optional<int> seconds = Integer(entry.value);
    if (!seconds || *seconds < kShortestPollSeconds || *seconds > kLongestPollSeconds) {
      return fail(entry.line, entry.key,
                  "takes seconds from " + std::to_string(kShortestPollSeconds) + " to " +
                      std::to_string(kLongestPollSeconds));
    }
    config.pollSeconds = *seconds;
    return true;
  }
  return fail(entry.line, entry.key, "is not a key of [service] (metrics, poll-interval)");
}

bool Builder::projector(ProjectorConfig& projector, const ConfigEntry& entry) {
  const std::string& value = entry.value;
  if (entry.key == "address") {
    const bool network = link::LooksLikeNetworkAddress(value);
    if (network ? !link::ParseNetworkAddress(value) : (value.empty() || value.front() != '/')) {
      return fail(
          entry.line, entry.key,
          "\"" + value + "\" is neither a device path nor tcp://HOST:PORT or rfc2217://HOST:PORT");
    }
    projector.address = value;
  } else if (entry.key == "name") {
    if (value.empty() || value.size() > kLongestName || !Printable(value)) {
      return fail(entry.line, entry.key, "takes 1 to 64 bytes of printable text");
    }
    projector.name = value;
  } else if (entry.key == "speed") {
    if (value != "9600" && value != "19200") return fail(entry.line, entry.key, "is 9600 or 19200");
    projector.speed = *Integer(value);
  } else if (entry.key == "pjlink") {
    const std::optional<ListenAddress> listen = ParseListenAddress(value);
    if (!listen) return fail(entry.line, entry.key, "\"" + value + "\" is not [ADDRESS:]PORT");
    projector.pjlink = *listen;
  } else if (entry.key == "password") {
    if (value.size() > kLongestPassword || !Printable(value)) {
      return fail(entry.line, entry.key, "takes at most 32 bytes of printable ASCII");
    }
    projector.password = value;
  } else {
    return fail(entry.line, entry.key,
                "is not a key of a projector (address, name, speed, pjlink, password)");
  }
  return true;
}

// No two projectors on one device, and nothing listening twice on one address and port.
bool CheckDistinct(Builder& builder, const ServiceConfig& config) {
  std::map<std::string, std::string> devices;
  std::map<std::pair<std::string, std::uint16_t>, std::string> listening;
  if (config.metrics) listening[{config.metrics->host, config.metrics->port}] = "the metrics";
  for (const ProjectorConfig& projector : config.projectors) {
    const int line = builder.sectionLine(projector.id);
    if (projector.address.empty()) {
      builder.fail(line, "address", "[" + projector.id + "] has no address");
      return false;
    }
    auto [holder, first] = devices.emplace(projector.address, projector.id);
    if (!first) {
      builder.fail(line, "address",
                   "[" + projector.id + "] names the projector of [" + holder->second + "]");
      return false;
    }
    auto [taken, fresh] = listening.emplace(std::pair{projector.pjlink.host, projector.pjlink.port},
                                            "[" + projector.id + "]");
    if (!fresh) {
      builder.fail(line, "pjlink",
                   "[" + projector.id + "] listens where " + taken->second + " does");
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<ListenAddress> ParseListenAddress(const std::string& text) {
  ListenAddress listen{"127.0.0.1", 0};
  std::string port = text;
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find("]:");
    if (close == std::string::npos) return std::nullopt;
    listen.host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else if (const auto colon = text.rfind(':'); colon != std::string::npos) {
    listen.host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  const std::optional<int> number = Integer(port);
  if (!number || *number < 1 || *number > 65535 || !IsLiteral(listen.host)) return std::nullopt;
  listen.port = static_cast<std::uint16_t>(*number);
  return listen;
}

ConfigResult BuildConfig(const std::string& file, const std::vector<ConfigEntry>& entries,
                         const std::vector<std::pair<std::string, int>>& sectionLines) {
  Builder builder(file, sectionLines);
  ServiceConfig config;
  std::map<std::string, std::size_t> index;  // section -> its projector
  for (const ConfigEntry& entry : entries) {
    if (entry.section == kServiceSection) {
      if (!builder.service(config, entry)) return {std::nullopt, builder.error()};
      continue;
    }
    if (!IsIdentifier(entry.section)) {
      builder.fail(entry.line, {},
                   "[" + entry.section +
                       "]: a section is named with 1 to 64 letters, digits, '-', '_' or '.'");
      return {std::nullopt, builder.error()};
    }
    auto [it, added] = index.emplace(entry.section, config.projectors.size());
    if (added) {
      if (config.projectors.size() == kMostProjectors) {
        builder.fail(entry.line, {}, "more than 1000 projectors");
        return {std::nullopt, builder.error()};
      }
      ProjectorConfig made;
      made.id = entry.section;
      made.name = entry.section;
      config.projectors.push_back(std::move(made));
    }
    if (!builder.projector(config.projectors[it->second], entry))
      return {std::nullopt, builder.error()};
  }
  for (const auto& [section, line] : sectionLines) {
    if (section != kServiceSection && !index.contains(section)) {
      builder.fail(line, "address", "[" + section + "] has no address");
      return {std::nullopt, builder.error()};
    }
  }
  if (config.projectors.empty()) {
    builder.fail(1, {}, "names no projector: give each a section with its address");
    return {std::nullopt, builder.error()};
  }
  if (!CheckDistinct(builder, config)) return {std::nullopt, builder.error()};
  return {std::move(config), {}};
}

}  // namespace mero::serve
