#include "cli/interrupt.h"

#include <atomic>

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

void Install(int signal, struct sigaction* previous, bool keep_catching) {
  struct sigaction action {};
  action.sa_handler = RecordSignal;
  sigemptyset(&action.sa_mask);
  // SA_RESTART: a write to the terminal or a pipe that the signal interrupts goes on rather
  // than failing. SA_RESETHAND: the next signal of the same kind takes its default action.
  action.sa_flags = static_cast<int>(keep_catching ? SA_RESTART : (SA_RESTART | SA_RESETHAND));
  (void)sigaction(signal, &action, previous);
}

}  // namespace

ScopedInterruptHandlers::ScopedInterruptHandlers(bool keep_catching) {
  caught_signal.store(0);
  caught_count.store(0);
  Install(SIGINT, &previous_int_, keep_catching);
  Install(SIGTERM, &previous_term_, keep_catching);
}

ScopedInterruptHandlers::~ScopedInterruptHandlers() {
  (void)sigaction(SIGINT, &previous_int_, nullptr);
  (void)sigaction(SIGTERM, &previous_term_, nullptr);
}

int ScopedInterruptHandlers::Signal() const { return caught_signal.load(); }

int ScopedInterruptHandlers::Count() const { return caught_count.load(); }

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
