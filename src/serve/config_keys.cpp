#include "serve/config_keys.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <type_traits>

#include "link/port/network_address.h"

namespace mero::serve {
namespace {

constexpr std::size_t kLongestShown = 80;

constexpr std::array<std::string_view, 2> kSpeeds = {"19200", "9600"};

constexpr std::array kKeys = {
    ConfigKey{.section = SectionKind::Service,
              .name = "metrics",
              .kind = ValueKind::ListenOrOff,
              .field = &ServiceConfig::metrics,
              .fallback = "127.0.0.1:9470",
              .help = "where Prometheus scrapes /metrics"},
    ConfigKey{.section = SectionKind::Service,
              .name = "poll-interval",
              .kind = ValueKind::Integer,
              .field = &ServiceConfig::pollSeconds,
              .low = kShortestPollSeconds,
              .high = kLongestPollSeconds,
              .fallback = "60",
              .help = "seconds between two status polls of a projector"},
    ConfigKey{.section = SectionKind::Service,
              .name = "token-file",
              .kind = ValueKind::Path,
              .field = &ServiceConfig::tokenFile,
              .help = "a file whose first line is the token that allows changes from the web "
                      "page and the API; without one, they only read"},
    ConfigKey{.section = SectionKind::Service,
              .name = "token-credential",
              .kind = ValueKind::Text,
              .field = &ServiceConfig::tokenCredential,
              .high = kLongestName,
              .characters = Characters::NameCharacters,
              .help = "the systemd credential that holds the token for changes"},
    ConfigKey{.section = SectionKind::Projector,
              .name = "address",
              .kind = ValueKind::Device,
              .field = &ProjectorConfig::address,
              .absent = Absent::Required,
              .help = "the projector's serial line"},
    ConfigKey{.section = SectionKind::Projector,
              .name = "speed",
              .kind = ValueKind::Choice,
              .field = &ProjectorConfig::speed,
              .choices = kSpeeds,
              .fallback = "19200",
              .help = "the projector's line speed"},
    ConfigKey{.section = SectionKind::Projector,
              .name = "name",
              .kind = ValueKind::Text,
              .field = &ProjectorConfig::name,
              .low = 1,
              .high = kLongestName,
              .absent = Absent::SectionName,
              .help = "what PJLink's NAME ? answers"},
    ConfigKey{.section = SectionKind::Projector,
              .name = "pjlink",
              .kind = ValueKind::Listen,
              .field = &ProjectorConfig::pjlink,
              .fallback = "127.0.0.1:4352",
              .help = "where PJLink controllers connect"},
    ConfigKey{.section = SectionKind::Projector,
              .name = "maintenance",
              .kind = ValueKind::ListenOrOff,
              .field = &ProjectorConfig::maintenance,
              .fallback = "off",
              .help = "where one technician's panel reaches the projector's line"},
    ConfigKey{.section = SectionKind::Projector,
              .name = "password",
              .kind = ValueKind::Text,
              .field = &ProjectorConfig::password,
              .high = kLongestPassword,
              .characters = Characters::PrintableAscii,
              .secret = true,
              .help = "PJLink's password; without one, no authentication"},
    ConfigKey{.section = SectionKind::Projector,
              .name = "password-file",
              .kind = ValueKind::Path,
              .field = &ProjectorConfig::passwordFile,
              .help = "a file whose first line is PJLink's password"},
    ConfigKey{.section = SectionKind::Projector,
              .name = "password-credential",
              .kind = ValueKind::Text,
              .field = &ProjectorConfig::passwordCredential,
              .high = kLongestName,
              .characters = Characters::NameCharacters,
              .help = "the systemd credential that holds PJLink's password"},
};

template <class Member>
struct MemberOf;
template <class Owner, class Type>
struct MemberOf<Type Owner::*> {
  using Struct = Owner;
  using Field = Type;
};

template <class Member, class Type>
constexpr bool kHolds = std::is_same_v<typename MemberOf<Member>::Field, Type>;

constexpr bool FieldFits(const ConfigKey& key) {
  return std::visit(
      [&key]<class Member>(Member) {
        const bool owner = (key.section == SectionKind::Service) ==
                           std::is_same_v<typename MemberOf<Member>::Struct, ServiceConfig>;
        switch (key.kind) {
          case ValueKind::Listen:
            return owner && kHolds<Member, ListenAddress>;
          case ValueKind::ListenOrOff:
            return owner && kHolds<Member, std::optional<ListenAddress>>;
          case ValueKind::Integer:
            return owner && kHolds<Member, int> && key.low <= key.high;
          case ValueKind::Choice: {
            const bool held = kHolds<Member, int> || kHolds<Member, std::string>;
            return owner && held && !key.choices.empty();
          }
          case ValueKind::Text:
          case ValueKind::Device:
          case ValueKind::Path:
            return owner && kHolds<Member, std::string>;
        }
        return false;
      },
      key.field);
}
static_assert(std::ranges::all_of(kKeys, FieldFits), "a key's field does not hold its value");

bool IsLiteral(const std::string& host) {
  std::array<unsigned char, 16> buffer{};
  return inet_pton(AF_INET, host.c_str(), buffer.data()) == 1 ||
         inet_pton(AF_INET6, host.c_str(), buffer.data()) == 1;
}

// An IPv4 address written as IPv6 (::ffff:a.b.c.d), which Qt does not listen on.
bool IsMappedIpv4(const std::string& host) {
  in6_addr address{};
  return inet_pton(AF_INET6, host.c_str(), &address) == 1 && IN6_IS_ADDR_V4MAPPED(&address);
}

// Why a listen address that does not parse fails, beyond its form, when that can be told.
std::string ListenHint(std::string_view text) {
  if (const std::optional<ListenAddress> parsed = ParseListenAddress(std::string(text))) {
    if (IsMappedIpv4(parsed->host)) return ": no socket listens on an IPv4 address written as IPv6";
  }
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0 || text.front() == '[') return {};
  const std::string host(text.substr(0, colon));
  if (IsLiteral(host)) return {};
  return ": ADDRESS is an IP literal such as 127.0.0.1 or 0.0.0.0, not a host name";
}

std::optional<int> Integer(std::string_view text) {
  int value = 0;
  const char* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || at != end || text.empty()) return std::nullopt;
  return value;
}

bool OfClass(std::string_view text, Characters characters) {
  return std::ranges::all_of(text, [characters](char c) {
    const auto byte = static_cast<unsigned char>(c);
    if (characters == Characters::NameCharacters) {
      return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
             c == '-' || c == '_' || c == '.';
    }
    return byte >= ' ' && byte != 127 && (characters == Characters::Printable || byte < 127);
  });
}

std::string_view ClassName(Characters characters) {
  switch (characters) {
    case Characters::Printable:
      return "bytes of printable text";
    case Characters::PrintableAscii:
      return "bytes of printable ASCII";
    case Characters::NameCharacters:
      return "letters, digits, '-', '_' or '.'";
  }
  return "bytes";
}

std::string Quoted(const ConfigKey& key, std::string_view text) {
  if (key.secret) return "the value";
  std::string quoted = "\"";  // piecewise: GCC 12 at -O2 warns falsely on "\"" + a temporary
  quoted += Shown(text);
  quoted += '"';
  return quoted;
}

std::string Choices(const ConfigKey& key) {
  std::string listed;
  for (std::size_t i = 0; i < key.choices.size(); ++i) {
    if (i > 0) listed += i + 1 == key.choices.size() ? " or " : ", ";
    listed += key.choices[i];
  }
  return listed;
}

std::optional<std::string> ListenMistake(const ConfigKey& key, std::string_view text) {
  const bool off = key.kind == ValueKind::ListenOrOff && text == "off";
  const std::string hint = off ? std::string() : ListenHint(text);
  if (off || (ParseListenAddress(std::string(text)) && hint.empty())) return std::nullopt;
  const std::string_view forms = key.kind == ValueKind::ListenOrOff
                                     ? "[ADDRESS:]PORT, [IPV6]:PORT or off"
                                     : "[ADDRESS:]PORT or [IPV6]:PORT";
  return Quoted(key, text) + " is not " + std::string(forms) + hint;
}

// What is wrong with `text` as the key's value, if anything.
std::optional<std::string> Mistake(const ConfigKey& key, std::string_view text) {
  switch (key.kind) {
    case ValueKind::Listen:
    case ValueKind::ListenOrOff:
      return ListenMistake(key, text);
    case ValueKind::Integer: {
      const std::optional<int> number = Integer(text);
      if (number && *number >= key.low && *number <= key.high) return std::nullopt;
      return Quoted(key, text) + " is not a whole number from " + std::to_string(key.low) + " to " +
             std::to_string(key.high);
    }
    case ValueKind::Choice:
      if (std::ranges::find(key.choices, text) != key.choices.end()) return std::nullopt;
      return Quoted(key, text) + " is not " + Choices(key);
    case ValueKind::Text: {
      const bool fits = text.size() >= static_cast<std::size_t>(key.low) &&
                        text.size() <= static_cast<std::size_t>(key.high);
      if (fits && OfClass(text, key.characters)) return std::nullopt;
      const std::string bytes = key.low == 0
                                    ? "at most " + std::to_string(key.high)
                                    : std::to_string(key.low) + " to " + std::to_string(key.high);
      return "takes " + bytes + " " + std::string(ClassName(key.characters));
    }
    case ValueKind::Path: {
      const bool absolute = text.starts_with('/') && OfClass(text, Characters::Printable);
      if (text.empty() || absolute) return std::nullopt;
      return Quoted(key, text) + " is not an absolute path";
    }
    case ValueKind::Device: {
      const bool network = link::LooksLikeNetworkAddress(text);
      if (network ? link::ParseNetworkAddress(text).has_value() : text.starts_with('/')) {
        return std::nullopt;
      }
      return Quoted(key, text) +
             " is neither a device path nor tcp://HOST:PORT or rfc2217://HOST:PORT";
    }
  }
  return "is of no known kind";
}

// The checked text as the field's type.
template <class Type>
Type Converted(std::string_view text) {
  if constexpr (std::is_same_v<Type, int>) {
    return Integer(text).value_or(0);
  } else if constexpr (std::is_same_v<Type, std::string>) {
    return std::string(text);
  } else if constexpr (std::is_same_v<Type, ListenAddress>) {
    return ParseListenAddress(std::string(text)).value_or(ListenAddress{});
  } else {
    static_assert(std::is_same_v<Type, std::optional<ListenAddress>>);
    return text == "off" ? std::nullopt : ParseListenAddress(std::string(text));
  }
}

template <class Owner, class Service, class Projector>
Owner& Holder(Service& service, Projector& projector) {
  if constexpr (std::is_same_v<std::remove_const_t<Owner>, ServiceConfig>) {
    return service;
  } else {
    return projector;
  }
}

}  // namespace

std::string ListenText(const ListenAddress& listen) {
  const bool v6 = listen.host.find(':') != std::string::npos;
  return (v6 ? "[" + listen.host + "]" : listen.host) + ":" + std::to_string(listen.port);
}

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

std::span<const ConfigKey> ConfigKeys() { return kKeys; }

const ConfigKey* FindConfigKey(SectionKind section, std::string_view name) {
  const auto* found = std::ranges::find_if(
      kKeys, [&](const ConfigKey& key) { return key.section == section && key.name == name; });
  return found == kKeys.end() ? nullptr : &*found;
}

std::string ConfigKeyNames(SectionKind section) {
  std::string names;
  for (const ConfigKey& key : kKeys) {
    if (key.section != section) continue;
    if (!names.empty()) names += ", ";
    names += key.name;
  }
  return names;
}

std::optional<std::string> StoreValue(const ConfigKey& key, std::string_view text,
                                      ServiceConfig& service, ProjectorConfig& projector) {
  if (std::optional<std::string> mistake = Mistake(key, text)) {
    return *mistake + " (" + std::string(key.help) + ")";
  }
  std::visit(
      [&]<class Member>(Member member) {
        using Of = MemberOf<Member>;
        Holder<typename Of::Struct>(service, projector).*member =
            Converted<typename Of::Field>(text);
      },
      key.field);
  return std::nullopt;
}

std::string ValueText(const ConfigKey& key, const ServiceConfig& service,
                      const ProjectorConfig& projector) {
  return std::visit(
      [&]<class Member>(Member member) -> std::string {
        using Of = MemberOf<Member>;
        const auto& value = Holder<const typename Of::Struct>(service, projector).*member;
        using Type = typename Of::Field;
        if constexpr (std::is_same_v<Type, int>) {
          return std::to_string(value);
        } else if constexpr (std::is_same_v<Type, std::string>) {
          return value;
        } else if constexpr (std::is_same_v<Type, ListenAddress>) {
          return ListenText(value);
        } else {
          return value ? ListenText(*value) : std::string("off");
        }
      },
      key.field);
}

std::string Shown(std::string_view text) {
  if (text.size() <= kLongestShown) return std::string(text);
  return std::string(text.substr(0, kLongestShown)) + "...";
}

}  // namespace mero::serve
