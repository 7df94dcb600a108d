#include "serve/config_secrets.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

namespace mero::serve {
namespace {

std::string Mode(mode_t mode) {
  std::array<char, 8> text{};
  std::snprintf(text.data(), text.size(), "%04o", static_cast<unsigned>(mode & 07777));
  return text.data();
}

struct Secret {
  std::string password;
  std::string error;    // why it cannot be had, the path told
  std::string warning;  // what holds though it is had
};

// A descriptor that closes itself.
class Opened {
 public:
  explicit Opened(const std::string& path)
      // Without blocking: a FIFO put where the file should be would wait for a writer.
      : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)) {}
  ~Opened() {
    if (fd_ >= 0) ::close(fd_);
  }
  Opened(const Opened&) = delete;
  Opened& operator=(const Opened&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

// What a secret's first line must be.
struct SecretKind {
  std::size_t shortest;
  std::size_t longest;
  std::string_view what;
};
constexpr SecretKind kPassword{1, kLongestPassword, "PJLink's password"};
constexpr SecretKind kToken{kShortestToken, kLongestToken, "the token for changes"};

Secret ReadSecretFile(const std::string& path, const SecretKind& kind) {
  const Opened file(path);
  if (file.fd() < 0) return {{}, path + ": " + std::strerror(errno), {}};
  struct stat status {};
  if (::fstat(file.fd(), &status) != 0) return {{}, path + ": " + std::strerror(errno), {}};
  if (!S_ISREG(status.st_mode)) return {{}, path + " is not a regular file", {}};
  if ((status.st_mode & S_IRWXO) != 0) {
    return {
        {},
        path + " is open to every user (mode " + Mode(status.st_mode) + "): chmod o-rwx " + path,
        {}};
  }
  // One byte more than allowed: a file that grew since fstat() is still caught.
  std::string text(kLongestPasswordFile + 1, '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::read(file.fd(), text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return {{}, path + ": " + std::strerror(errno), {}};
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got > kLongestPasswordFile) {
    return {{}, path + " is larger than 4 KiB, which no password file is", {}};
  }
  text.resize(got);
  std::string line = text.substr(0, text.find('\n'));
  if (line.ends_with('\r')) line.pop_back();
  const bool printable = std::ranges::all_of(line, [](char c) { return c >= ' ' && c < 127; });
  if (line.size() < kind.shortest || line.size() > kind.longest || !printable) {
    return {{},
            "the first line of " + path + " is not " + std::to_string(kind.shortest) + " to " +
                std::to_string(kind.longest) + " bytes of printable ASCII (" +
                std::string(kind.what) + ")",
            {}};
  }
  Secret secret{std::move(line), {}, {}};
  if ((status.st_mode & S_IRWXG) != 0) {
    secret.warning = path + " is open to its group, gid " + std::to_string(status.st_gid) +
                     " (mode " + Mode(status.st_mode) + ")";
  }
  return secret;
}

// The web page's token for changes, from its file or its credential, when one is named.
std::string ReadToken(const std::string& file, const std::string& credentials,
                      ServiceConfig& config) {
  if (config.tokenFile.empty() && config.tokenCredential.empty()) return {};
  const std::string where = file + ":" + std::to_string(config.tokenLine) + ": ";
  const bool fromFile = !config.tokenFile.empty();
  const std::string key = fromFile ? "token-file: " : "token-credential: ";
  if (!fromFile && credentials.empty()) {
    return where + key +
           "$CREDENTIALS_DIRECTORY is not set: systemd gives the service its credentials "
           "(LoadCredential= in its unit)";
  }
  Secret secret = ReadSecretFile(
      fromFile ? config.tokenFile : credentials + "/" + config.tokenCredential, kToken);
  if (!secret.error.empty()) return where + key + secret.error;
  if (!secret.warning.empty()) config.warnings.push_back(where + key + secret.warning);
  config.token = std::move(secret.password);
  return {};
}

}  // namespace

std::string ReadSecrets(const std::string& file, mode_t fileMode, const std::string& credentials,
                        ServiceConfig& config) {
  std::string given;
  for (ProjectorConfig& projector : config.projectors) {
    const std::string where = file + ":" + std::to_string(projector.secretLine) + ": ";
    std::string path = projector.passwordFile;
    if (!projector.passwordCredential.empty()) {
      if (credentials.empty()) {
        return where +
               "password-credential: $CREDENTIALS_DIRECTORY is not set: systemd gives the "
               "service its credentials (LoadCredential= in its unit)";
      }
      path = credentials + "/" + projector.passwordCredential;
    } else if (path.empty()) {
      if (!projector.password.empty()) given += (given.empty() ? "[" : ", [") + projector.id + "]";
      continue;
    }
    const std::string key =
        projector.passwordFile.empty() ? "password-credential: " : "password-file: ";
    Secret secret = ReadSecretFile(path, kPassword);
    if (!secret.error.empty()) return where + key + secret.error;
    if (!secret.warning.empty()) config.warnings.push_back(where + key + secret.warning);
    projector.password = std::move(secret.password);
  }
  if (std::string error = ReadToken(file, credentials, config); !error.empty()) return error;
  if (!given.empty() && (fileMode & S_IROTH) != 0) {
    config.warnings.push_back(file + " is readable by every user (mode " + Mode(fileMode) +
                              ") and holds the password of " + given +
                              ": give it in password-file or password-credential");
  }
  return {};
}

}  // namespace mero::serve
