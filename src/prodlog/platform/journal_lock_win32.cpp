// The journal's lock on Windows: LockFileEx on "JOURNAL.lock", opened by its wide name.
#include <string>

#include "base/file_path.h"
#include "prodlog/journal_lock.h"

#include <windows.h>

namespace qz::prodlog {

JournalLock::~JournalLock() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

bool JournalLock::Take(const std::string& journal, LogError* error) {
  const std::wstring path = PathFromUtf8(journal + ".lock").wstring();
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = JournalLockUnmade(journal);
    return false;
  }
  handle_ = reinterpret_cast<long long>(file);
  OVERLAPPED whole{};
  if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                 &whole) == FALSE) {
    *error = JournalLockHeld(journal);
    return false;
  }
  return true;
}

}  // namespace qz::prodlog
