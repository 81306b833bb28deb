// The clock every wait, deadline and rate is measured on, and lengths of
// time given in seconds (as options take them) on it.
#pragma once

#include <chrono>

namespace tarlek {

// Steady: a change of the time of day moves no deadline.
using Clock = std::chrono::steady_clock;

// seconds (a fraction too) as a duration of the clock.
inline Clock::duration SecondsOnClock(double seconds) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// The time seconds after from; for seconds of 0 or less, no end at all (the
// clock's last time point), as an option's default of 0 means.
inline Clock::time_point DeadlineAfter(double seconds, Clock::time_point from = Clock::now()) {
  return seconds > 0 ? from + SecondsOnClock(seconds) : Clock::time_point::max();
}

}  // namespace tarlek
