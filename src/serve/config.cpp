#include "serve/config.h"

#include <algorithm>
#include <array>
#include <map>
#include <tuple>
#include <vector>

#include "serve/config_keys.h"
#include "serve/config_overlap.h"
#include "serve/config_text.h"

namespace mero::serve {
namespace {

constexpr std::string_view kServiceSection = "service";

bool IsIdentifier(std::string_view id) {
  return !id.empty() && id.size() <= kLongestName && std::ranges::all_of(id, [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.';
  });
}

// Reads the file line by line into a configuration, stopping at the first mistake.
class Reader {
 public:
  explicit Reader(std::string file) : file_(std::move(file)) {
    defaults(SectionKind::Service, config_, unused_);
  }

  bool line(int number, std::string_view text) {
    const IniLine read = ReadIniLine(text);
    switch (read.kind) {
      case IniLine::Kind::Blank:
        return true;
      case IniLine::Kind::Mistake:
        return fail(number, {}, read.value);
      case IniLine::Kind::Section:
        return section(number, read.name);
      case IniLine::Kind::Entry:
        return entry(number, read);
    }
    return true;
  }
  bool finish();
  ConfigResult result() {
    if (!error_.empty()) return {std::nullopt, error_};
    return {std::move(config_), {}};
  }

 private:
  struct Section {
    int line = 0;
    std::map<std::string, int, std::less<>> keys;  // each key's line
  };

  bool fail(int line, std::string_view key, const std::string& what) {
    if (!error_.empty()) return false;  // the first mistake is the one told
    error_ = file_ + ":" + std::to_string(line) + ": ";
    if (!key.empty()) error_ += Shown(key) + ": ";
    error_ += what;
    return false;
  }
  bool defaults(SectionKind kind, ServiceConfig& service, ProjectorConfig& projector);
  bool section(int number, const std::string& name);
  bool entry(int number, const IniLine& read);
  bool checkPasswordSources(ProjectorConfig& projector, const Section& section);
  bool checkDistinct();
  struct Listener {
    std::string who;
    ListenAddress address;
    std::string place;
  };
  bool checkListener(const std::vector<Listener>& listening, const Listener& added, int line,
                     std::string_view key);
  // The line of a key in a section, or of the section where the key is left out.
  static int LineOf(const Section& section, std::string_view key) {
    const auto it = section.keys.find(key);
    return it == section.keys.end() ? section.line : it->second;
  }
  static std::string PlaceOf(const Section& section, std::string_view key) {
    const int line = LineOf(section, key);
    return (section.keys.contains(key) ? "line " : "by default, section on line ") +
           std::to_string(line);
  }

  std::string file_;
  std::string error_;
  ServiceConfig config_;
  ProjectorConfig unused_;  // what a key of [service] leaves untouched
  std::map<std::string, Section, std::less<>> sections_;
  Section* current_ = nullptr;
  bool inService_ = false;
};

bool Reader::defaults(SectionKind kind, ServiceConfig& service, ProjectorConfig& projector) {
  for (const ConfigKey& key : ConfigKeys()) {
    if (key.section != kind || key.absent == Absent::Required) continue;
    const std::string_view text = key.absent == Absent::SectionName ? projector.id : key.fallback;
    if (const std::optional<std::string> mistake = StoreValue(key, text, service, projector)) {
      return fail(current_ == nullptr ? 1 : current_->line, key.name, "by default " + *mistake);
    }
  }
  return true;
}

bool Reader::section(int number, const std::string& name) {
  const auto [it, fresh] = sections_.try_emplace(name, Section{number, {}});
  if (!fresh) {
    return fail(number, {},
                "section [" + Shown(name) + "] again; it first stands on line " +
                    std::to_string(it->second.line));
  }
  current_ = &it->second;
  inService_ = name == kServiceSection;
  if (inService_) return true;
  if (!IsIdentifier(name)) {
    // Built piecewise: GCC 12 at -O2 takes "[" + a temporary for an overlapping copy
    // (-Wrestrict), a known false alarm.
    std::string heading = "[";
    heading += Shown(name);
    heading += "]: a section is named with 1 to 64 letters, digits, '-', '_' or '.'";
    return fail(number, {}, heading);
  }
  if (config_.projectors.size() == kMostProjectors) {
    return fail(number, {}, "more than " + std::to_string(kMostProjectors) + " projectors");
  }
  ProjectorConfig& made = config_.projectors.emplace_back();
  made.id = name;
  return defaults(SectionKind::Projector, config_, made);
}

bool Reader::entry(int number, const IniLine& read) {
  if (current_ == nullptr) {
    return fail(number, read.name,
                "stands before any section; it belongs in [service] or a projector's section");
  }
  const SectionKind kind = inService_ ? SectionKind::Service : SectionKind::Projector;
  const ConfigKey* key = FindConfigKey(kind, read.name);
  if (key == nullptr) {
    return fail(number, read.name,
                std::string("is not a key of ") + (inService_ ? "[service]" : "a projector") +
                    " (" + ConfigKeyNames(kind) + ")");
  }
  const auto [it, fresh] = current_->keys.try_emplace(read.name, number);
  if (!fresh) {
    return fail(number, read.name,
                "again in its section; it first stands on line " + std::to_string(it->second));
  }
  ProjectorConfig& projector = inService_ ? unused_ : config_.projectors.back();
  if (const std::optional<std::string> mistake = StoreValue(*key, read.value, config_, projector)) {
    return fail(number, read.name, *mistake);
  }
  return true;
}

// The password's three sources: the first is the file's own key.
constexpr std::array<std::string_view, 3> kPasswordKeys{"password", "password-file",
                                                        "password-credential"};

bool Reader::checkPasswordSources(ProjectorConfig& projector, const Section& section) {
  const std::array<bool, 3> given{!projector.password.empty(), !projector.passwordFile.empty(),
                                  !projector.passwordCredential.empty()};
  std::string_view first;
  for (std::size_t i = 0; i < kPasswordKeys.size(); ++i) {
    if (!given[i]) continue;
    if (first.empty()) {
      first = kPasswordKeys[i];
      projector.secretLine = LineOf(section, first);
      continue;
    }
    const int line = LineOf(section, kPasswordKeys[i]);
    const int firstLine = LineOf(section, first);
    return fail(std::max(line, firstLine), line > firstLine ? kPasswordKeys[i] : first,
                "[" + projector.id + "] has its password from " +
                    std::string(line > firstLine ? first : kPasswordKeys[i]) + " on line " +
                    std::to_string(std::min(line, firstLine)) +
                    "; give one of password, password-file and password-credential");
  }
  return true;
}

bool Reader::finish() {
  for (ProjectorConfig& projector : config_.projectors) {
    const Section& section = sections_.at(projector.id);
    if (!checkPasswordSources(projector, section)) return false;
    for (const ConfigKey& key : ConfigKeys()) {
      if (key.section == SectionKind::Projector && key.absent == Absent::Required &&
          !section.keys.contains(key.name)) {
        return fail(section.line, key.name,
                    "[" + projector.id + "] has no " + std::string(key.name));
      }
    }
  }
  if (config_.projectors.empty()) {
    return fail(1, {}, "names no projector: give each a section with its address");
  }
  if (const auto service = sections_.find(kServiceSection); service != sections_.end()) {
    const Section& section = service->second;
    if (!config_.tokenFile.empty() && !config_.tokenCredential.empty()) {
      const int file = LineOf(section, "token-file");
      const int credential = LineOf(section, "token-credential");
      return fail(std::max(file, credential), file > credential ? "token-file" : "token-credential",
                  "the token is given on line " + std::to_string(std::min(file, credential)) +
                      "; give one of token-file and token-credential");
    }
    config_.tokenLine =
        LineOf(section, config_.tokenFile.empty() ? "token-credential" : "token-file");
  }
  return checkDistinct();
}

// No two projectors on one device, however it is spelled, and no two sockets that cannot both
// listen.
bool Reader::checkDistinct() {
  std::vector<Listener> listening;
  if (config_.metrics) {
    const auto service = sections_.find(kServiceSection);
    const std::string place =
        service == sections_.end() ? "by default" : PlaceOf(service->second, "metrics");
    listening.push_back({"the metrics", *config_.metrics, place});
  }
  std::map<std::string, const ProjectorConfig*> devices;
  for (const ProjectorConfig& projector : config_.projectors) {
    const Section& section = sections_.at(projector.id);
    const auto [holder, first] = devices.emplace(DeviceIdentity(projector.address), &projector);
    if (!first) {
      const ProjectorConfig& other = *holder->second;
      std::string what = "[" + projector.id + "] names the device of [" + other.id + "] (line " +
                         std::to_string(LineOf(sections_.at(other.id), "address")) + ")";
      if (other.address != projector.address) {
        what += ": " + Shown(projector.address) + " and " + Shown(other.address) + " are one";
      }
      return fail(LineOf(section, "address"), "address", what);
    }
    const std::array<std::pair<std::string_view, const ListenAddress*>, 2> own{
        {{"pjlink", &projector.pjlink},
         {"maintenance", projector.maintenance ? &*projector.maintenance : nullptr}}};
    for (const auto& [key, address] : own) {
      if (address == nullptr) continue;
      const std::string who =
          key == "pjlink" ? "[" + projector.id + "]" : "[" + projector.id + "] maintenance";
      const Listener added{who, *address, PlaceOf(section, key)};
      if (!checkListener(listening, added, LineOf(section, key), key)) return false;
      listening.push_back(added);
    }
  }
  return true;
}

// Whether `added` can listen beside every listener before it.
bool Reader::checkListener(const std::vector<Listener>& listening, const Listener& added, int line,
                           std::string_view key) {
  const ListenAddress& address = added.address;
  for (const Listener& other : listening) {
    if (!ListenOverlaps(address, other.address)) continue;
    if (address == other.address) {
      return fail(line, key,
                  added.who + " listens where " + other.who + " does (" + other.place + ")");
    }
    const bool wildcard = IsWildcard(address.host) || IsWildcard(other.address.host);
    return fail(line, key,
                added.who + " listens on " + ListenText(address) + ", " + other.who + " on " +
                    ListenText(other.address) + " (" + other.place + ")" +
                    (wildcard ? ": a wildcard address takes every address of its family on "
                                "its port"
                              : ": one address written two ways"));
  }
  return true;
}

void Describe(std::string& text, SectionKind kind, const ServiceConfig& service,
              const ProjectorConfig& projector) {
  for (const ConfigKey& key : ConfigKeys()) {
    if (key.section != kind) continue;
    const std::string value = ValueText(key, service, projector);
    // A key without a default, such as a password's other sources, is told only when given.
    if (value.empty() && !key.secret && key.absent == Absent::Default && key.fallback.empty()) {
      continue;
    }
    text += "  " + std::string(key.name);
    if (key.secret) {
      text += value.empty() ? ": none\n" : ": set\n";
    } else {
      text += " = " + QuotedIfNeeded(value) + "\n";
    }
  }
}

}  // namespace

bool KeepsConnections(const ProjectorConfig& running, const ProjectorConfig& next) {
  return std::tie(running.id, running.address, running.speed, running.pjlink, running.password) ==
         std::tie(next.id, next.address, next.speed, next.pjlink, next.password);
}

ConfigResult ParseConfig(const std::string& file, std::string_view text) {
  Reader reader(file);
  int number = 1;
  for (std::size_t start = 0; start < text.size(); ++number) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    if (!reader.line(number, text.substr(start, end - start))) return reader.result();
    start = end + 1;
  }
  reader.finish();
  return reader.result();
}

std::string DescribeConfig(const ServiceConfig& config) {
  std::string text;
  for (const ProjectorConfig& projector : config.projectors) {
    text += "[" + projector.id + "]\n";
    Describe(text, SectionKind::Projector, config, projector);
  }
  text += "[service]\n";
  Describe(text, SectionKind::Service, config, ProjectorConfig{});
  for (const std::string& warning : config.warnings) text += "warning: " + warning + "\n";
  return text;
}

}  // namespace mero::serve
