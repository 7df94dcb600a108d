#include "cli/command_words.h"

#include <sys/stat.h>

#include <string>

#include "cli/plain_text.h"

namespace mero::cli {

std::optional<Command> CommandOf(std::string_view word) {
  if (word == "query") return Command::Query;
  if (word == "send") return Command::Send;
  return std::nullopt;
}

bool IsMistypedCommand(std::string_view word) {
  if (word.empty() || word.starts_with('-') || CommandOf(word)) return false;
  if (!Nearest(word, kCommandWords)) return false;
  struct stat info {};
  return ::stat(std::string(word).c_str(), &info) != 0;
}

}  // namespace mero::cli
