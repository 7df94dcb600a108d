#pragma once

#include <string>

#include "serve/config.h"

namespace mero::serve {

// Reads the service's file and parses it (ParseConfig). Mistakes name the file, the line and
// the key; a file that is not a regular file or is over kLongestConfigFile is not read at all.
// Passwords given by password-file or password-credential are read too (ReadSecrets).
ConfigResult ReadConfigFile(const std::string& path);

}  // namespace mero::serve
