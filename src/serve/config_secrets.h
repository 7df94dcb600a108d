#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "serve/config.h"

namespace mero::serve {

// No password file is larger; one that is is refused unread.
inline constexpr std::size_t kLongestPasswordFile = 4096;

// Reads each projector's password-file or password-credential (the file of that name in
// `credentials`, systemd's $CREDENTIALS_DIRECTORY, empty when unset) into its password: the
// file's first line. A file that every user may read, or that is not a regular file, or a line
// that is no PJLink password, is refused: the first such mistake, "FILE:LINE: key: ...", where
// `file` is the configuration and `fileMode` its mode. Adds to config.warnings a password file
// that its group may read, and passwords given in a configuration that every user may read.
std::string ReadSecrets(const std::string& file, mode_t fileMode, const std::string& credentials,
                        ServiceConfig& config);

}  // namespace mero::serve
