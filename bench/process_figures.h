#pragma once

#include <time.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace mero::bench {

// Processor time of `clock` in seconds: the process's or the calling thread's.
inline double CpuSeconds(clockid_t clock = CLOCK_PROCESS_CPUTIME_ID) {
  timespec at{};
  clock_gettime(clock, &at);
  return static_cast<double>(at.tv_sec) + static_cast<double>(at.tv_nsec) / 1e9;
}

// This process's resident memory in MB.
inline double RssMegabytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  }
  return 0;
}

}  // namespace mero::bench
