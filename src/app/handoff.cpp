#include "app/handoff.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "cli/command_words.h"

namespace mero::app {
namespace {

constexpr int kExitUsage = 2;
constexpr std::string_view kServeWord = "serve";

}  // namespace

bool IsHeadlessCommand(std::string_view first) {
  return first == kServeWord || cli::CommandOf(first).has_value() || cli::IsMistypedCommand(first);
}

int RunHeadless(char** argv) {
  std::string program(kHeadlessProgram);
  // Beside this file first, so that a build tree or an unpacked copy runs its own version
  // rather than whatever PATH holds.
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    std::string beside = (self.parent_path() / program).string();
    if (::access(beside.c_str(), X_OK) == 0) {
      argv[0] = beside.data();
      ::execv(beside.c_str(), argv);
    }
  }
  argv[0] = program.data();
  ::execvp(program.c_str(), argv);
  const int reason = errno;
  if (reason == ENOENT) {
    std::fprintf(stderr,
                 "mero-control: query, send and serve are run by %s, which is not installed: "
                 "install the package %s\n",
                 program.c_str(), program.c_str());
  } else {
    std::fprintf(stderr, "mero-control: cannot run %s: %s\n", program.c_str(),
                 std::strerror(reason));
  }
  return kExitUsage;
}

}  // namespace mero::app
