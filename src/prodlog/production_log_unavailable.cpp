// The production log file where this build has no SQLite (the Windows build): opening fails
// with a clear reason, so a command that asks for a log stops before any chip is touched.
#include <memory>
#include <string>

#include "prodlog/store_internal.h"

namespace qz::prodlog {

std::unique_ptr<ProductionLog> OpenSqliteLog(const std::string& path, LogError* error,
                                             const LogOptions&) {
  *error = LogError{LogError::Kind::kIo, "The production log \"" + path +
                                             "\" cannot be used: this build has no SQLite."};
  return nullptr;
}

}  // namespace qz::prodlog
