#include "serve/qt_config.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "serve/config_secrets.h"

namespace mero::serve {

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
  // One byte more than allowed: a file that grew since stat() is still caught.
  std::string text(kLongestConfigFile + 1, '\0');
  file.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(file.gcount()));
  if (text.size() > kLongestConfigFile) return {std::nullopt, path + ": larger than 1 MiB"};
  ConfigResult read = ParseConfig(path, text);
  if (!read.config) return read;
  const char* credentials = std::getenv("CREDENTIALS_DIRECTORY");
  std::string error =
      ReadSecrets(path, status.st_mode, credentials == nullptr ? "" : credentials, *read.config);
  if (!error.empty()) return {std::nullopt, std::move(error)};
  return read;
}

}  // namespace mero::serve
