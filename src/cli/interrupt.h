#pragma once

#include <csignal>
#include <string>

namespace qz::cli {

// Catches SIGINT and SIGTERM (on Windows: the console's Ctrl-C, Ctrl-Break and close events,
// and a raised SIGTERM) for the life of one command, so that a write or read in progress
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

  // The first signal caught since the current handlers were installed, or 0. Any thread.
  [[nodiscard]] static int Signal();
  // Signals caught since the current handlers were installed. Any thread.
  [[nodiscard]] static int Count();

 private:
#ifdef _WIN32
  using Handler = void (*)(int);
  Handler previous_term_ = SIG_DFL;
#else
  struct sigaction previous_int_ {};
  struct sigaction previous_term_ {};
#endif
};

// Exit status of a command ended by `signal`: 128 + its number, as a shell reports it.
[[nodiscard]] int InterruptedExit(int signal);
// "SIGINT", "SIGTERM", or "signal N".
[[nodiscard]] std::string SignalName(int signal);

}  // namespace qz::cli
