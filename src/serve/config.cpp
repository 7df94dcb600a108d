#include "serve/config.h"

#include <algorithm>
#include <map>

#include "serve/config_keys.h"
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
  bool checkDistinct();

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

bool Reader::finish() {
  for (const ProjectorConfig& projector : config_.projectors) {
    const Section& section = sections_.at(projector.id);
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
  return checkDistinct();
}

// No two projectors on one device, and nothing listening twice on one address and port.
bool Reader::checkDistinct() {
  std::map<std::string, std::string> devices;
  std::map<std::pair<std::string, std::uint16_t>, std::string> listening;
  if (config_.metrics) listening[{config_.metrics->host, config_.metrics->port}] = "the metrics";
  for (const ProjectorConfig& projector : config_.projectors) {
    const int line = sections_.at(projector.id).line;
    auto [holder, first] = devices.emplace(projector.address, projector.id);
    if (!first) {
      return fail(line, "address",
                  "[" + projector.id + "] names the projector of [" + holder->second + "]");
    }
    auto [taken, fresh] = listening.emplace(std::pair{projector.pjlink.host, projector.pjlink.port},
                                            "[" + projector.id + "]");
    if (!fresh) {
      return fail(line, "pjlink",
                  "[" + projector.id + "] listens where " + taken->second + " does");
    }
  }
  return true;
}

void Describe(std::string& text, SectionKind kind, const ServiceConfig& service,
              const ProjectorConfig& projector) {
  for (const ConfigKey& key : ConfigKeys()) {
    if (key.section != kind) continue;
    const std::string value = ValueText(key, service, projector);
    text += "  " + std::string(key.name);
    if (key.secret) {
      text += value.empty() ? ": none\n" : ": set\n";
    } else {
      text += " = " + QuotedIfNeeded(value) + "\n";
    }
  }
}

}  // namespace

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
  return text;
}

}  // namespace mero::serve
