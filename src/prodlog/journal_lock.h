#pragma once

#include <string>

#include "prodlog/production_log.h"

namespace qz::prodlog {

// Holds "JOURNAL.lock" for as long as the log is open, so two processes never share one journal
// (they would return each other's leases). The operating system lets go of it when the process
// ends, however it ends.
class JournalLock {
 public:
  JournalLock() = default;
  ~JournalLock();
  JournalLock(const JournalLock&) = delete;
  JournalLock& operator=(const JournalLock&) = delete;

  // Takes the lock of the journal at `journal` (UTF-8); false and *error when its lock file
  // cannot be made or another process holds it.
  bool Take(const std::string& journal, LogError* error);

 private:
  // an open file descriptor, or a HANDLE on Windows
  long long handle_ = -1;
};

// The refusals, the same on every platform.
[[nodiscard]] LogError JournalLockUnmade(const std::string& journal);
[[nodiscard]] LogError JournalLockHeld(const std::string& journal);

}  // namespace qz::prodlog
