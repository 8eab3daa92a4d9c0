#pragma once

// What the production log's stores share inside src/prodlog: the backends' openers (one file
// each; the platform picks which exist) and the row helpers both use.

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "prodlog/production_log.h"

struct sqlite3;

namespace qz::prodlog {

// The SQLite log's migrations, entry N - 1 upgrading to version N (sqlite_schema.cpp).
[[nodiscard]] std::span<const char* const> SqliteMigrations();

// A station report's ports as the stores keep them: a JSON array (station_state.cpp); text
// that is no such array gives none.
[[nodiscard]] std::string PortsJson(const std::vector<PortReport>& ports);
[[nodiscard]] std::vector<PortReport> PortsOfJson(const std::string& text);

// The station reports of a SQLite file of schema 7 or later (sqlite_station_state.cpp), on the
// caller's connection under its lock; an SQLite result code other than SQLITE_OK on failure.
[[nodiscard]] int WriteStationState(sqlite3* db, const StationState& state);
[[nodiscard]] int ReadStationStates(sqlite3* db, std::vector<StationState>* states);

// The SQLite file (sqlite_store.cpp).
[[nodiscard]] std::unique_ptr<ProductionLog> OpenSqliteLog(const std::string& path,
                                                           LogError* error,
                                                           const LogOptions& options);
// The PostgreSQL database (postgres_store.cpp); `location` is a URI or "service=NAME" already
// checked for a password.
[[nodiscard]] std::unique_ptr<ProductionLog> OpenPostgresLog(const std::string& location,
                                                             LogError* error,
                                                             const LogOptions& options);
// The PostgreSQL database behind a local journal (journaled_log.cpp), options.journal naming
// the journal's file.
[[nodiscard]] std::unique_ptr<ProductionLog> OpenJournaledLog(const std::string& location,
                                                              LogError* error,
                                                              const LogOptions& options);

// A unit as the journal keeps it for the line database: its row, the id the station made for
// it, its number, and how much of it the line already has.
struct JournalUnit {
  UnitRecord record;
  std::string uid;
  std::string serial_format;  // empty without a serial number
  std::int64_t number = 0;
  bool begin_pushed = false;
};

// A SQLite production log file that serves as a line station's journal (sqlite_store.cpp):
// its units take their serial numbers only from the blocks leased from the line and recorded in
// the file (none leased: BeginUnit fails with kUnavailable), a released number goes back to
// them, and it remembers which units the line database already has.
class SqliteJournal : public ProductionLog {
 public:
  // This journal's lease holder id in the line database, made when the file was made.
  [[nodiscard]] virtual const std::string& Holder() const = 0;
  // Units whose begin or end the line database does not have yet, in the order they began.
  [[nodiscard]] virtual std::optional<std::vector<JournalUnit>> Unpushed(LogError* error) = 0;
  // How many units Unpushed would give, without reading them.
  [[nodiscard]] virtual std::optional<int> UnpushedCount(LogError* error) = 0;
  // The line database has these units' begins, or their whole rows when they had ended.
  [[nodiscard]] virtual bool MarkPushed(std::span<const JournalUnit> units, LogError* error) = 0;
  // `serials`, for a list's numbers: the text of each of `numbers`.
  [[nodiscard]] virtual bool AddLeases(const std::string& format,
                                       const std::vector<std::int64_t>& numbers,
                                       const std::vector<std::string>* serials,
                                       LogError* error) = 0;
  // How many leased numbers of `format` from `floor` on no unit took yet.
  [[nodiscard]] virtual std::optional<std::int64_t> LeasesLeft(const std::string& format,
                                                               std::int64_t floor,
                                                               LogError* error) = 0;
  // Forgets every lease: the line database took them back.
  [[nodiscard]] virtual bool ClearLeases(LogError* error) = 0;
  // The identity of the line database this journal met first, remembering `line` when it met
  // none yet.
  [[nodiscard]] virtual std::optional<std::string> RememberLine(const std::string& line,
                                                                LogError* error) = 0;
};
[[nodiscard]] std::unique_ptr<SqliteJournal> OpenSqliteJournal(const std::string& path,
                                                               LogError* error,
                                                               const LogOptions& options);

// The line database as a journal sees it (postgres_push_target.cpp). Every call is idempotent.
class LineStore {
 public:
  virtual ~LineStore() = default;
  // Leases up to `count` numbers of `format` from `floor` on to `holder`: the lowest released
  // ones first, then the format's counter; none that outgrow the '#' run (kSerialExhausted
  // when none is left).
  [[nodiscard]] virtual std::optional<std::vector<std::int64_t>> Lease(
      const SerialFormat& format, std::int64_t floor, std::int64_t count,
      const std::string& station, const std::string& holder, LogError* error) = 0;
  // Leases up to `count` numbers of the list `name` imported into the line to `holder`: their
  // places in the list (counted under "list:" + name) and their texts, the lowest released
  // ones first (kSerialExhausted when none is left).
  [[nodiscard]] virtual std::optional<std::vector<std::pair<std::int64_t, std::string>>>
  LeaseList(const std::string& name, std::int64_t count, const std::string& station,
            const std::string& holder, LogError* error) = 0;
  // Claims the program's number `serial` for `holder`'s next unit: kSerialRefused when a
  // unit or a list of the line holds it, or another holder claimed it.
  [[nodiscard]] virtual bool ClaimProgram(const std::string& serial, const std::string& holder,
                                          LogError* error) = 0;
  // Records each unit (its number taken off `holder`'s lease and held), then its end when it
  // has one, all in one transaction; a unit the database already has is not recorded again.
  [[nodiscard]] virtual bool Push(std::span<const JournalUnit> units, const std::string& holder,
                                  LogError* error) = 0;
  // Returns every number still leased to `holder` to the line's pool, recorded as returned.
  [[nodiscard]] virtual bool ReturnLeases(const std::string& holder, LogError* error) = 0;
  // Stores the station's state as `holder`'s login (a station of another login is refused).
  [[nodiscard]] virtual bool ReportStation(const StationState& state, const std::string& holder,
                                           LogError* error) = 0;
  // The line database's identity (made with its schema).
  [[nodiscard]] virtual const std::string& LineId() const = 0;
};
// *where names the database ("postgresql://host:port/db"), also when it cannot be reached.
[[nodiscard]] std::unique_ptr<LineStore> OpenLineStore(const std::string& location,
                                                       LogError* error, const LogOptions& options,
                                                       std::string* where = nullptr);

// A station-made id (unit_ids.cpp), unique across the line: 122 random bits as a UUID (version 4), drawn from
// the system's generator on every call, so processes forked from one another never share one.
[[nodiscard]] std::string NewUnitUid();

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

// A line database takes no list file (its lists are imported into it): false and *error
// (usage) for a unit whose numbers come from one. `journaled`: a station's journal in front
// of it, without which a list of the line is not leased either.
[[nodiscard]] bool LineTakesSerialsOf(const UnitStart& start, const std::string& where,
                                      bool journaled, LogError* error);

}  // namespace qz::prodlog
