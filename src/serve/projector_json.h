#pragma once

#include <string>

#include "serve/metrics.h"

namespace mero::serve {

// A projector as the web page and the API show it: the last status its replies told, and
// whether its line is open and it answers, which say whether that status still holds.
std::string ProjectorJson(const ProjectorFigures& figures, bool keyHeld);

}  // namespace mero::serve
