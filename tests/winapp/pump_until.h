#pragma once

// A native window test's wait: handles the window's messages until `done` holds; the deadline
// only ends a broken run (false).
#include <chrono>

#include <windows.h>

namespace qz::winapp {

template <typename Window, typename Predicate>
bool PumpUntil(Window& window, Predicate done, std::chrono::steady_clock::duration timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    window.PumpMessages();
  }
  return true;
}

}  // namespace qz::winapp
