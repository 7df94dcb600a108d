#include "link/reply_decoding.h"

namespace mero::link {

std::optional<std::string> DecodeReply(std::string_view, std::string_view, std::string_view,
                                       std::int64_t&) {
  return std::nullopt;
}

}  // namespace mero::link
