#pragma once

#include <csignal>
#include <string>

namespace qz::cli {

// Catches SIGINT and SIGTERM for the life of one command, so that a write or read in progress
// is stopped by the command itself (its outcome reported, the device session saved) instead of
// ending with the process. The handler only records the signal; the command looks at it at its
// own points. Each signal is caught once: the handler resets its own signal to the default
// action, so a second Ctrl-C ends the process at once. One instance at a time, on the thread
// that runs the command; the previous actions come back on destruction.
class ScopedInterruptHandlers {
 public:
  // `keep_catching`: every signal is caught and counted (the station's second signal stops its
  // jobs), instead of the second one ending the process.
  explicit ScopedInterruptHandlers(bool keep_catching = false);
  ~ScopedInterruptHandlers();
  ScopedInterruptHandlers(const ScopedInterruptHandlers&) = delete;
  ScopedInterruptHandlers& operator=(const ScopedInterruptHandlers&) = delete;

  // The first signal caught since construction, or 0. Any thread.
  [[nodiscard]] int Signal() const;
  // Signals caught since construction. Any thread.
  [[nodiscard]] int Count() const;

 private:
  struct sigaction previous_int_ {};
  struct sigaction previous_term_ {};
};

// Exit status of a command ended by `signal`: 128 + its number, as a shell reports it.
[[nodiscard]] int InterruptedExit(int signal);
// "SIGINT", "SIGTERM", or "signal N".
[[nodiscard]] std::string SignalName(int signal);

}  // namespace qz::cli
