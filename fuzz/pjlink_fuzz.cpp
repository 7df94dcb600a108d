// What a PJLink client can send: any bytes, in pieces of any size, to a session with a password,
// its requests answered through the bridge by the virtual projector's interpreter. Whatever
// comes, every line going back ends with its CR and stays within PJLink's length, a session that
// closes takes nothing more, the bytes held never exceed the bound, and nothing reaches the
// projector but the codes of the PJLink table.
//
// Input: rounds of a length byte and that many bytes for the session.

#include <cstdint>
#include <set>
#include <string>

#include "fuzz_input.h"
#include "projector/projector.h"
#include "serve/pjlink_bridge.h"
#include "serve/pjlink_session.h"

namespace mero::fuzz {
namespace {

class ProjectorOnLink : public link::Exchanges {
 public:
  void exchange(std::string_view code,
                std::function<void(const link::ExchangeResult&)> done) override {
    FUZZ_REQUIRE(allowed.contains(std::string(code)));
    now += 100;
    done({link::ExchangeResult::Kind::Reply, projector.Handle(code, now), 1});
  }
  std::set<std::string> allowed = [] {
    std::set<std::string> codes;
    for (const serve::PjlinkRow& row : serve::PjlinkRows()) {
      for (auto code : row.asks)
        if (!code.empty()) codes.emplace(code);
      for (auto code : row.sends)
        if (!code.empty()) codes.emplace(code);
    }
    return codes;
  }();
  vp::Projector projector;
  vp::Ms now = 0;
};

void RequireLine(const std::string& line) {
  FUZZ_REQUIRE(line.empty() || (line.back() == '\r' && line.size() <= serve::kLongestLine));
  FUZZ_REQUIRE(line.find('\r') == line.size() - 1 || line.empty());
}

}  // namespace
}  // namespace mero::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace mero;
  fuzz::ProjectorOnLink link;
  serve::PjlinkBridge bridge(link, {std::string(64, 'N'), "mero-control 1.40"});
  // The digest of "00000000" and the password "secret".
  serve::PjlinkSession session("68265bdc06e41f8306036840b7dd3416", "00000000");
  std::size_t at = 0;
  while (at < size) {
    const std::size_t head = data[at];
    ++at;
    const std::size_t length = std::min(head, size - at);
    const bool kept =
        session.receive(std::string_view(reinterpret_cast<const char*>(data) + at, length));
    at += length;
    if (!kept) return 0;
    while (auto step = session.next()) {
      if (step->kind == serve::SessionStep::Kind::Request) {
        std::string answer;
        bridge.answer(step->command, step->parameter,
                      [&](const std::string& result) { answer = result; });
        fuzz::RequireLine(serve::PjlinkSession::AnswerLine(step->command, answer));
        FUZZ_REQUIRE(!answer.empty());
      } else {
        fuzz::RequireLine(step->text);
        if (step->kind == serve::SessionStep::Kind::Close) return 0;
      }
    }
  }
  return 0;
}
