// The headless command lines, and the commands and reply windows they take from the keys'
// tables, checked against what the window's form sends for the same key.

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "cli/request.h"
#include "link/protocol/reply_decoding.h"
#include "panel/bindings.h"
#include "rig.h"

namespace mero::cli {
namespace {

using Args = std::vector<std::string_view>;

// A name sends what the window sends for it, through its key or the command entry, and waits
// as long as the window's reply window is after that click.
void ExpectTheWindowsCommand(const Args& args, const std::function<void(test::Rig&)>& click) {
  test::Rig rig;
  click(rig);
  const Request request = ParseRequest(args);
  ASSERT_EQ(request.error, "");
  EXPECT_EQ(rig.takeSent(), std::vector<link::Bytes>{request.message.text});
  EXPECT_EQ(rig.timer2.interval(), request.message.replyWindowMs);
}

TEST(CliRequest, NamesSendWhatTheWindowSendsAndWaitItsReplyWindow) {
  for (const link::OneShotCommand& command : link::OneShotCommands()) {
    SCOPED_TRACE(command.name);
    const panel::OneShotBinding* key = panel::FindOneShotKey(command.name);
    ASSERT_NE(key, nullptr);
    ExpectTheWindowsCommand({"send", command.name},
                            [&](test::Rig& rig) { rig.form.Click(key->control); });
  }
  std::set<std::string_view> codes;
  for (const link::StatusQuery& query : link::StatusQueries()) {
    SCOPED_TRACE(query.name);
    codes.insert(query.code);
    const panel::OneShotBinding* key =
        query.command != nullptr ? panel::FindOneShotKey(query.command->name) : nullptr;
    ASSERT_EQ(key != nullptr, query.command != nullptr);
    ExpectTheWindowsCommand({"query", query.name}, [&](test::Rig& rig) {
      if (key != nullptr) return rig.form.Click(key->control);
      rig.surface.entry = query.code;
      rig.form.Click("Command95");  // "SEND"
    });
  }
  const auto decoded = link::DecodedQueries();
  EXPECT_EQ(codes, std::set<std::string_view>(decoded.begin(), decoded.end()));
  EXPECT_EQ(ParseRequest(Args{"send", "--raw=CF LOGO OFF"}).message.text, "CF LOGO OFF\r");
}

TEST(CliRequest, AddressesInOrderAndMistakesNamed) {
  const Request request = ParseRequest(
      Args{"query", "lamp-hours", "/dev/a", "--speed=9600", "/tmp/caf\xe9", "--com1=/dev/c"});
  EXPECT_EQ(request.addresses, (std::vector<std::string>{"/dev/c", "/dev/a", "/tmp/caf\xe9"}));
  EXPECT_EQ(request.settings, "9600,N,8,1");

  const std::pair<Args, std::string_view> mistakes[] = {
      {{"query"}, "query needs the name of a status query; mero-control query --list"},
      {{"query", "power-on"}, "no status query is called \"power-on\""},
      {{"send", "lamp-mode"}, "no key is called \"lamp-mode\""},
      {{"query", "status", "--raw", "X"}, "unknown option --raw; see mero-control query --help"},
      {{"query", "status", "--speed", "4800"}, "--speed is 19200 or 9600, not 4800"},
      {{"send", "power-on", "--log", ""}, "--log needs a file"},
      {{"query", "status", "--addresses", "/nonexistent/list"},
       "cannot read the addresses in /nonexistent/list"},
  };
  for (const auto& [args, error] : mistakes) {
    const std::string got = ParseRequest(args).error;
    EXPECT_EQ(got.rfind(error, 0), 0u) << got;
  }
}

}  // namespace
}  // namespace mero::cli
