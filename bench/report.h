#pragma once

#include <cstdio>
#include <string>

namespace mero::bench {

// One figure of a benchmark as a line that bench/run gathers into its table and its JSON file:
//   @figure <TAB> name <TAB> value <TAB> unit <TAB> beside <TAB> beside's value <TAB> aim
// `beside` names the floor or peer measured in the same run ("" when there is none); `aim` is
// the figure's target in words ("" when it has none). Other output of a benchmark is for
// people and is passed through.
struct Figure {
  std::string name;
  double value = 0;
  std::string unit;
  std::string beside;
  double besideValue = 0;
  std::string aim;
};

inline void Report(const Figure& figure) {
  if (figure.beside.empty()) {
    std::printf("@figure\t%s\t%.3f\t%s\t\t\t%s\n", figure.name.c_str(), figure.value,
                figure.unit.c_str(), figure.aim.c_str());
  } else {
    std::printf("@figure\t%s\t%.3f\t%s\t%s\t%.3f\t%s\n", figure.name.c_str(), figure.value,
                figure.unit.c_str(), figure.beside.c_str(), figure.besideValue, figure.aim.c_str());
  }
  std::fflush(stdout);
}

}  // namespace mero::bench
