#pragma once

#include <atomic>
#include <chrono>

namespace qz {

// Every pause and time-out of the system goes through a Clock, so that tests and the
// virtual chip can run the protocol's waits without sleeping.
class Clock {
 public:
  using Duration = std::chrono::microseconds;

  virtual ~Clock() = default;
  // Monotonic time since an arbitrary start.
  [[nodiscard]] virtual Duration Now() const = 0;
  // Blocks the calling thread for `duration` (a manual clock only advances).
  virtual void SleepFor(Duration duration) = 0;
};

// Real time: the monotonic clock. A sleep waits for an absolute deadline, so a wake-up that
// comes early (a signal) sleeps again only for what is left, never for the whole pause anew.
class SystemClock final : public Clock {
 public:
  [[nodiscard]] Duration Now() const override;
  void SleepFor(Duration duration) override;
};

// Asks the kernel to wake the calling thread's sleeps on time: the default timer slack of
// 50 us lets every short pause run late by up to that (and more under load), which a paced
// transfer loop pays thousands of times. No effect where the platform has no such setting.
void UsePreciseSleeps();

// Virtual time for tests and simulations: SleepFor advances Now at once. Thread-safe.
class ManualClock final : public Clock {
 public:
  [[nodiscard]] Duration Now() const override { return Duration(now_us_.load()); }
  void SleepFor(Duration duration) override { now_us_.fetch_add(duration.count()); }
  void Advance(Duration duration) { now_us_.fetch_add(duration.count()); }
  // Total time slept or advanced so far.
  [[nodiscard]] Duration Elapsed() const { return Now(); }

 private:
  std::atomic<Duration::rep> now_us_{0};
};

}  // namespace qz
