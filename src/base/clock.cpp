#include "base/clock.h"

#include <thread>

namespace qz {

Clock::Duration SystemClock::Now() const {
  return std::chrono::duration_cast<Duration>(std::chrono::steady_clock::now().time_since_epoch());
}

void SystemClock::SleepFor(Duration duration) {
  if (duration.count() > 0) std::this_thread::sleep_for(duration);
}

}  // namespace qz
