#pragma once

// What the line database's files share inside src/prodlog: connecting, the prepared statements,
// error messages and the serial-number lease, for the direct store (postgres_store.cpp) and the
// journal's push target (postgres_push_target.cpp).

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "prodlog/pq.h"
#include "prodlog/store_internal.h"

namespace qz::prodlog::postgres {

// SQLSTATEs with their own message.
inline constexpr const char* kStatementTimeout = "57014";
inline constexpr const char* kLockTimeout = "55P03";
inline constexpr const char* kPrivilege = "42501";
inline constexpr const char* kUniqueViolation = "23505";
// Raised by the line's own functions: the format's '#' run is used up, the site's range is,
// a number is not leased to the holder, a list is used up, there is no such list, an import
// is refused, a program's number is held already.
inline constexpr const char* kRunUsedUp = "QZ001";
inline constexpr const char* kRangeUsedUp = "QZ002";
inline constexpr const char* kNotLeased = "QZ003";
inline constexpr const char* kListUsedUp = "QZ004";
inline constexpr const char* kNoSuchList = "QZ005";
inline constexpr const char* kImportRefused = "QZ006";
inline constexpr const char* kProgramHeld = "QZ007";

// A line database, or a head office's record of every site's units (read only here).
enum class SchemaKind { kLine, kHeadOffice };
struct Schema {
  SchemaKind kind = SchemaKind::kLine;
  int version = 0;
};

// Every statement the stores run, by name, for Connection::Prepare.
[[nodiscard]] std::span<const std::pair<const char*, const char*>> Statements();
// The statement "rows" as a reader of `schema` prepares it (an older line has no site).
[[nodiscard]] std::string RowsStatement(const Schema& schema);

inline std::string Number(std::int64_t value) { return std::to_string(value); }

// An operator message for a statement that failed.
[[nodiscard]] LogError Failed(pq::Connection& connection, const std::string& where,
                              const LogOptions& options, const pq::Result& result,
                              const char* doing);

// Leases up to `block` numbers of `format` from `floor` on to `holder` (qz670x.lease): the
// lowest released numbers first, then the format's counter; none that outgrows the '#' run nor
// the site's range (kSerialExhausted when none is left).
[[nodiscard]] std::optional<std::vector<std::int64_t>> LeaseNumbers(
    pq::Connection& connection, const std::string& where, const LogOptions& options,
    const SerialFormat& format, std::int64_t floor, std::int64_t block,
    const std::string& station, const std::string& holder, LogError* error);

// Leases up to `block` numbers of the imported list `name` to `holder` (qz670x.lease_list),
// each as its place in the list and its text (kSerialExhausted when none is left).
[[nodiscard]] std::optional<std::vector<std::pair<std::int64_t, std::string>>> LeaseListNumbers(
    pq::Connection& connection, const std::string& where, const LogOptions& options,
    const std::string& name, std::int64_t block, const std::string& station,
    const std::string& holder, LogError* error);

// Connects, sets the session's time-outs and brings the schema up to date. nullptr and *error
// (kUnavailable when the server cannot be reached) on failure; *where names the database and
// *schema_out (when given) says what it holds.
[[nodiscard]] std::unique_ptr<pq::Connection> Connect(const std::string& location,
                                                      LogError* error, const LogOptions& options,
                                                      std::string* where_out,
                                                      Schema* schema_out = nullptr);

// The "station_report" statement's parameters for `state`, written as `holder`'s login.
[[nodiscard]] std::vector<pq::Param> StationReportParams(const StationState& state,
                                                         const std::string& holder);
// The rows of the "station_states" statement.
[[nodiscard]] std::vector<StationState> StationStatesOf(const pq::Result& result);

// The schema's steps: entry N upgrades version N to N + 1, of a line (postgres_schema.cpp) and
// of a head office (postgres_head_office_schema.cpp).
[[nodiscard]] std::span<const char* const> Migrations();
[[nodiscard]] std::span<const char* const> HeadOfficeMigrations();

// Checks the schema's kind and version and, unless read-only, migrates an older one of the kind
// asked for (LogOptions::head_office) (postgres_schema.cpp); nullopt and *error for a database
// that is not ours, of the other kind when writing, newer, empty when read-only, or that cannot
// be migrated.
[[nodiscard]] std::optional<Schema> BringSchemaUpToDate(pq::Connection& connection,
                                                        const std::string& where,
                                                        const LogOptions& options,
                                                        LogError* error);

}  // namespace qz::prodlog::postgres
