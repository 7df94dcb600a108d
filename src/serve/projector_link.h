#pragma once

#include <functional>
#include <string_view>

#include "link/port/exchange_engine.h"

namespace mero::serve {

using ExchangeResult = link::ExchangeResult;

// Where exchanges with one projector are asked for. `done` may be called before exchange()
// returns (an answer still fresh, a line that is down, a full queue).
class ProjectorLink {
 public:
  virtual ~ProjectorLink() = default;
  virtual void exchange(std::string_view code, std::function<void(const ExchangeResult&)> done) = 0;
};

}  // namespace mero::serve
