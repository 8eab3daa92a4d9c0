#pragma once

// Wall and CPU clocks of the benchmarks that measure whole jobs.
#include <time.h>

#include <chrono>

namespace qz::bench {

// CPU seconds used by the whole process so far.
inline double ProcessCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Seconds on the monotonic clock.
inline double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace qz::bench
