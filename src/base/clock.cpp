#include "base/clock.h"

#include <cerrno>
#include <thread>

#if defined(__linux__)
#include <sys/prctl.h>
#include <time.h>
#endif

namespace qz {

Clock::Duration SystemClock::Now() const {
  return std::chrono::duration_cast<Duration>(std::chrono::steady_clock::now().time_since_epoch());
}

void SystemClock::SleepFor(Duration duration) {
  if (duration.count() <= 0) return;
#if defined(__linux__)
  // steady_clock is CLOCK_MONOTONIC here, so the deadline is on the clock Now() reads.
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  const auto total_ns = static_cast<long long>(deadline.tv_nsec) + duration.count() * 1000LL;
  deadline.tv_sec += static_cast<time_t>(total_ns / 1000000000LL);
  deadline.tv_nsec = static_cast<long>(total_ns % 1000000000LL);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
#else
  std::this_thread::sleep_for(duration);
#endif
}

void UsePreciseSleeps() {
#if defined(__linux__)
  // 1 ns: the smallest slack; the kernel then wakes the thread at the timer's expiry.
  (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}

}  // namespace qz
