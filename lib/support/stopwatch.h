// Seconds of wall-clock time, as the timings of a run add them up.
#pragma once

#include <chrono>

using SteadyClock = std::chrono::steady_clock;

double secondsSince(SteadyClock::time_point start);
