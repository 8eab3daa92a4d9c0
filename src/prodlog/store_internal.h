#pragma once

// What the production log's stores share inside src/prodlog: the backends' openers (one file
// each; the platform picks which exist) and the row helpers both use.

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "prodlog/production_log.h"

namespace qz::prodlog {

// The SQLite file (production_log.cpp).
[[nodiscard]] std::unique_ptr<ProductionLog> OpenSqliteLog(const std::string& path,
                                                           LogError* error,
                                                           const LogOptions& options);
// The PostgreSQL database (postgres_log.cpp); `location` is a URI or "service=NAME" already
// checked for a password.
[[nodiscard]] std::unique_ptr<ProductionLog> OpenPostgresLog(const std::string& location,
                                                             LogError* error,
                                                             const LogOptions& options);

// The overrides applied as a JSON object; the allocated serial number wins over a given one.
[[nodiscard]] std::string OverridesJson(
    const std::vector<std::pair<std::string, std::string>>& overrides, const std::string& serial);

// "2026-01-31", "2026-01-31T08:00", "2026-01-31 08:00:05.5Z" ... as a prefix of the stored
// form "YYYY-MM-DDTHH:MM:SS.mmm"; nullopt when the text is not such a time.
[[nodiscard]] std::optional<std::string> NormalizeSince(std::string text);

// The operator message for a --since text that is not a time.
[[nodiscard]] LogError BadSince(const std::string& text);

// Why a database location cannot be used as given (a password in it), or nullopt.
[[nodiscard]] std::optional<std::string> PasswordProblem(const std::string& location);

}  // namespace qz::prodlog
