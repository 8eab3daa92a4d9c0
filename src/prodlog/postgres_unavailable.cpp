// The line database where this build has no PostgreSQL client (the Windows build).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "prodlog/store_internal.h"

namespace qz::prodlog {

std::unique_ptr<ProductionLog> OpenPostgresLog(const std::string&, LogError* error,
                                               const LogOptions&) {
  *error = LogError{LogError::Kind::kIo,
                    "A PostgreSQL line database is not available on this platform; give "
                    "--log a file."};
  return nullptr;
}

std::unique_ptr<ProductionLog> OpenJournaledLog(const std::string& location, LogError* error,
                                                const LogOptions& options) {
  return OpenPostgresLog(location, error, options);
}

std::optional<std::int64_t> ImportSerialList(const std::string& location, const std::string&,
                                             const std::vector<std::string>&, LogError* error) {
  (void)OpenPostgresLog(location, error, LogOptions{});
  return std::nullopt;
}

}  // namespace qz::prodlog
