#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "serve/config.h"

namespace mero::serve {

enum class SectionKind { Service, Projector };

// How a value is written and what it may be.
enum class ValueKind {
  Listen,       // [ADDRESS:]PORT or [IPV6]:PORT, the address an IP literal
  ListenOrOff,  // the same, or "off" for none
  Integer,      // a whole number from `low` to `high`
  Choice,       // one of `choices`
  Text,         // `low` to `high` bytes of `characters`
  Device,       // a device path, tcp://HOST:PORT or rfc2217://HOST:PORT
  Path,         // an absolute path, or nothing
};

enum class Characters { Printable, PrintableAscii, NameCharacters };

// What a key is when its section leaves it out.
enum class Absent { Default, Required, SectionName };

// Where a key's value is kept: a field of either struct, of any type a value is read as.
// The table is checked at compile time to keep each value in a field of its type, of its
// section's struct.
using ConfigField =
    std::variant<int ServiceConfig::*, std::string ServiceConfig::*, ListenAddress ServiceConfig::*,
                 std::optional<ListenAddress> ServiceConfig::*, int ProjectorConfig::*,
                 std::string ProjectorConfig::*, ListenAddress ProjectorConfig::*,
                 std::optional<ListenAddress> ProjectorConfig::*>;

struct ConfigKey {
  SectionKind section = SectionKind::Projector;
  std::string_view name = {};
  ValueKind kind = ValueKind::Text;
  ConfigField field;
  int low = 0;
  int high = 0;
  std::span<const std::string_view> choices = {};
  Characters characters = Characters::Printable;
  Absent absent = Absent::Default;
  std::string_view fallback = {};  // as the file would write it, when absent is Default
  bool secret = false;             // never shown: --check says whether it is set, mistakes omit it
  std::string_view help = {};
};

// Every key of the file, in the order the shipped file and the manual page explain them.
std::span<const ConfigKey> ConfigKeys();
const ConfigKey* FindConfigKey(SectionKind section, std::string_view name);
// "metrics, poll-interval"
std::string ConfigKeyNames(SectionKind section);

// Reads `text` as the key's value into whichever of the two holds the key, or says what is
// wrong with it (without the key's name).
std::optional<std::string> StoreValue(const ConfigKey& key, std::string_view text,
                                      ServiceConfig& service, ProjectorConfig& projector);
// The value the key holds, as text before any quoting.
std::string ValueText(const ConfigKey& key, const ServiceConfig& service,
                      const ProjectorConfig& projector);

// Text from the file quoted in a mistake, cut short: a mistake is one line of a log.
std::string Shown(std::string_view text);

}  // namespace mero::serve
