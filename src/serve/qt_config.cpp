#include "serve/qt_config.h"

#include <sys/stat.h>

#include <QSettings>
#include <QStringList>
#include <QTemporaryFile>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

namespace mero::serve {
namespace {

std::string Trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// A line starting with '#' is a comment here as with ';', which is all QSettings knows: such
// lines are left empty in what it parses, so that the line numbers stay.
std::string WithoutHashComments(const std::string& text) {
  std::string kept;
  kept.reserve(text.size());
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!Trimmed(line).starts_with('#')) kept += line;
    kept += '\n';
  }
  return kept;
}

// The text of a value as it stands, up to a ';' outside double quotes that starts a comment.
std::string RawValue(const std::string& text) {
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') quoted = !quoted;
    if (text[i] == ';' && !quoted) return Trimmed(text.substr(0, i));
  }
  return Trimmed(text);
}

// Where each section and key stands in the file, as the INI format lays it out: QSettings
// reads the values but keeps no line numbers. The first malformed line, if any.
struct Layout {
  std::vector<std::pair<std::string, int>> sections;
  std::map<std::pair<std::string, std::string>, int> keys;
  std::map<std::pair<std::string, std::string>, std::string> rawValues;
  int malformed = 0;
};

Layout LayoutOf(const std::string& text) {
  Layout layout;
  std::istringstream lines(text);
  std::string line;
  std::string section;
  for (int number = 1; std::getline(lines, line); ++number) {
    const std::string trimmed = Trimmed(line);
    if (trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '#') continue;
    if (trimmed.front() == '[') {
      if (trimmed.back() != ']') {
        if (layout.malformed == 0) layout.malformed = number;
        continue;
      }
      section = Trimmed(trimmed.substr(1, trimmed.size() - 2));
      layout.sections.emplace_back(section, number);
      continue;
    }
    const auto equals = trimmed.find('=');
    if (equals == std::string::npos) {
      if (layout.malformed == 0) layout.malformed = number;
      continue;
    }
    const std::pair key{section, Trimmed(trimmed.substr(0, equals))};
    layout.keys.emplace(key, number);
    layout.rawValues.emplace(key, RawValue(trimmed.substr(equals + 1)));
  }
  return layout;
}

// An unquoted value with commas comes back as a list, its blanks after the commas gone; the
// file had it as one text, which is taken as it stands there.
std::string ValueText(const QVariant& value, const std::string* raw) {
  if (value.typeId() == QMetaType::QStringList) {
    return raw != nullptr ? *raw : value.toStringList().join(',').toStdString();
  }
  return value.toString().toStdString();
}

}  // namespace

ConfigResult ReadConfigFile(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    return {std::nullopt, path + ": " + std::strerror(errno)};
  }
  if (!S_ISREG(status.st_mode)) return {std::nullopt, path + ": not a regular file"};
  if (static_cast<std::size_t>(status.st_size) > kLongestConfigFile) {
    return {std::nullopt, path + ": larger than 1 MiB, which no configuration is"};
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) return {std::nullopt, path + ": cannot be read"};
  std::string text(kLongestConfigFile + 1, '\0');
  file.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(file.gcount()));
  if (text.size() > kLongestConfigFile) return {std::nullopt, path + ": larger than 1 MiB"};

  const Layout layout = LayoutOf(text);
  // QSettings parses a copy of the bytes read above, under a name of its own: it keeps what it
  // has read of a path and may not see a file rewritten within the same moment, and the copy
  // is exactly what was measured.
  const std::string parsed = WithoutHashComments(text);
  QTemporaryFile copy;
  if (!copy.open() ||
      copy.write(parsed.data(), static_cast<qint64>(parsed.size())) !=
          static_cast<qint64>(parsed.size()) ||
      !copy.flush()) {
    return {std::nullopt, path + ": no room for a temporary copy to read"};
  }
  QSettings settings(copy.fileName(), QSettings::IniFormat);
  if (settings.status() != QSettings::NoError || layout.malformed != 0) {
    return {std::nullopt, path + ":" + std::to_string(std::max(layout.malformed, 1)) +
                              ": not a section heading, a \"key = value\" or a comment"};
  }
  std::vector<ConfigEntry> entries;
  for (const QString& key : settings.allKeys()) {
    const QString group = key.contains('/') ? key.section('/', 0, 0) : QString("General");
    const std::string name = key.section('/', -1).toStdString();
    const std::string section = key.contains('/') ? group.toStdString() : std::string();
    // QSettings files keys outside any section under [General], and a [General] section too.
    auto at = layout.keys.find({section, name});
    if (at == layout.keys.end() && section.empty()) at = layout.keys.find({"General", name});
    const int line = at == layout.keys.end() ? 0 : at->second;
    const auto raw = layout.rawValues.find({section, name});
    if (section.empty()) {
      std::string error = path;
      error += ":" + std::to_string(line) + ": ";
      error += name;
      error +=
          ": stands before any section, or in [General], which is the INI format's name for"
          " the top of the file; it belongs in [service] or a projector's section";
      return {std::nullopt, std::move(error)};
    }
    entries.push_back(
        {section, name,
         ValueText(settings.value(key), raw == layout.rawValues.end() ? nullptr : &raw->second),
         line});
  }
  std::ranges::sort(entries, {}, &ConfigEntry::line);
  return BuildConfig(path, entries, layout.sections);
}

}  // namespace mero::serve
