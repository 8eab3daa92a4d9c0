// The journal's lock on Linux: flock on "JOURNAL.lock".
#include <sys/file.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "prodlog/journal_lock.h"

namespace qz::prodlog {

JournalLock::~JournalLock() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

bool JournalLock::Take(const std::string& journal, LogError* error) {
  const std::string path = journal + ".lock";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = JournalLockUnmade(journal);
    return false;
  }
  handle_ = fd;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    *error = JournalLockHeld(journal);
    return false;
  }
  return true;
}

}  // namespace qz::prodlog
