// Seconds of wall-clock time, as the timings of a run add them up.
#pragma once

#include <chrono>

using SteadyClock = std::chrono::steady_clock;

inline double secondsSince(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}
