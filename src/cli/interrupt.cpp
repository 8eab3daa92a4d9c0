#include "cli/interrupt.h"

#include <atomic>

#ifdef _WIN32
#include "winconsole/windows_console.h"
#endif

namespace qz::cli {

namespace {

// Written by the signal handler, read by the command's threads. A lock-free atomic is safe to
// store from a handler and orders the store for the threads that read it.
std::atomic<int> caught_signal{0};
std::atomic<int> caught_count{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void RecordSignal(int signal) {
  int none = 0;
  (void)caught_signal.compare_exchange_strong(none, signal);
  caught_count.fetch_add(1);
}

#ifdef _WIN32
// SIGTERM only comes from raise() on Windows. The C runtime resets a signal to its default
// action before it calls the handler, as SA_RESETHAND does; a station that keeps catching puts
// its handler back each time.
std::atomic<bool> keep_catching_signals{false};

extern "C" void RecordSignalAgain(int signal) {
  RecordSignal(signal);
  if (keep_catching_signals.load()) (void)std::signal(signal, RecordSignalAgain);
}
#else
void Install(int signal, struct sigaction* previous, bool keep_catching) {
  struct sigaction action {};
  action.sa_handler = RecordSignal;
  sigemptyset(&action.sa_mask);
  // SA_RESTART: a write to the terminal or a pipe that the signal interrupts goes on rather
  // than failing. SA_RESETHAND: the next signal of the same kind takes its default action.
  action.sa_flags = static_cast<int>(keep_catching ? SA_RESTART : (SA_RESTART | SA_RESETHAND));
  (void)sigaction(signal, &action, previous);
}
#endif

}  // namespace

ScopedInterruptHandlers::ScopedInterruptHandlers(bool keep_catching) {
  caught_signal.store(0);
  caught_count.store(0);
#ifdef _WIN32
  // The console's Ctrl-C and Ctrl-Break arrive as control events, not through the C runtime's
  // SIGINT (whose own console handler would catch every later Ctrl-C too).
  keep_catching_signals.store(keep_catching);
  previous_term_ = std::signal(SIGTERM, RecordSignalAgain);
  winconsole::CatchConsoleControl(RecordSignal, keep_catching);
#else
  Install(SIGINT, &previous_int_, keep_catching);
  Install(SIGTERM, &previous_term_, keep_catching);
#endif
}

ScopedInterruptHandlers::~ScopedInterruptHandlers() {
#ifdef _WIN32
  winconsole::ReleaseConsoleControl();
  (void)std::signal(SIGTERM, previous_term_ == SIG_ERR ? SIG_DFL : previous_term_);
#else
  (void)sigaction(SIGINT, &previous_int_, nullptr);
  (void)sigaction(SIGTERM, &previous_term_, nullptr);
#endif
}

int ScopedInterruptHandlers::Signal() { return caught_signal.load(); }

int ScopedInterruptHandlers::Count() { return caught_count.load(); }

int InterruptedExit(int signal) { return 128 + signal; }

std::string SignalName(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    default:
      return "signal " + std::to_string(signal);
  }
}

}  // namespace qz::cli
