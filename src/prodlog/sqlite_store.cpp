#include "prodlog/production_log.h"

#include "base/file_path.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <span>
#include <system_error>

#include "prodlog/sqlite_statement.h"
#include "prodlog/store_internal.h"

namespace qz::prodlog {
namespace {


// Serial numbers are stored as SQLite integers, which are signed.
constexpr std::uint64_t kLargestStoredNumber =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

std::string Reason(int code, int busy_timeout_ms) {
  switch (code & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return "it is locked by another process (waited " + std::to_string(busy_timeout_ms) +
             " ms)";
    case SQLITE_READONLY:
      return "it is read-only";
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return "it is not a production log or it is damaged";
    case SQLITE_FULL:
      return "the disk is full";
    case SQLITE_CANTOPEN:
      return "it cannot be opened (its directory is missing or not writable)";
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return "permission denied";
    case SQLITE_IOERR:
      return "it could not be read or written";
    default:
      return sqlite3_errstr(code);
  }
}

LogError MakeError(LogError::Kind kind, const std::string& path, const std::string& text) {
  return LogError{kind, "Production log \"" + path + "\": " + text};
}

// "file:" URI of `path` with immutable=1 (no locks, no shared-memory index).
std::string ImmutableUri(const std::string& path) {
  std::string uri = "file:";
  for (const char c : path) {
    if (c == '%' || c == '?' || c == '#') {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
      uri += escaped;
    } else {
      uri += c;
    }
  }
  return uri + "?immutable=1";
}

// The SQLite file; as a line station's journal too.
class SqliteLog final : public SqliteJournal {
 public:
  struct Impl;
  explicit SqliteLog(std::unique_ptr<Impl> impl);
  ~SqliteLog() override;

  [[nodiscard]] const std::string& Path() const override;
  [[nodiscard]] std::string LocalFile() const override { return Path(); }
  [[nodiscard]] std::optional<BegunUnit> BeginUnit(const UnitStart& start,
                                                   LogError* error) override;
  [[nodiscard]] bool CompleteUnit(std::int64_t unit_id, const UnitEnd& end,
                                  LogError* error) override;
  [[nodiscard]] std::optional<std::vector<UnitRecord>> Rows(const LogFilter& filter,
                                                            LogError* error) override;
  [[nodiscard]] bool ReportStation(const StationState& state, LogError* error) override;
  [[nodiscard]] std::optional<std::vector<StationState>> StationStates(
      LogError* error) override;

  [[nodiscard]] const std::string& Holder() const override;
  [[nodiscard]] std::optional<std::vector<JournalUnit>> Unpushed(LogError* error) override;
  [[nodiscard]] std::optional<int> UnpushedCount(LogError* error) override;
  [[nodiscard]] bool MarkPushed(std::span<const JournalUnit> units, LogError* error) override;
  [[nodiscard]] bool AddLeases(const std::string& format,
                               const std::vector<std::int64_t>& numbers,
                               const std::vector<std::string>* serials,
                               LogError* error) override;
  [[nodiscard]] std::optional<std::int64_t> LeasesLeft(const std::string& format,
                                                       std::int64_t floor,
                                                       LogError* error) override;
  [[nodiscard]] bool ClearLeases(LogError* error) override;
  [[nodiscard]] std::optional<std::string> RememberLine(const std::string& line,
                                                        LogError* error) override;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace

struct SqliteLog::Impl {
  std::string path;
  LogOptions options;
  // A line station's journal: numbers come from the leases only, units carry their uid.
  bool journal = false;
  std::string holder;
  int schema = 0;  // the file's schema version (a reader leaves an older one as it is)
  sqlite3* db = nullptr;
  std::mutex mutex;  // one statement sequence at a time on the connection

  Statement begin, commit, rollback;
  Statement sync_full, sync_normal;
  Statement released_lowest, released_delete, released_insert;
  Statement counter_get, counter_set;
  Statement held_find, held_insert, held_delete;
  Statement unit_insert, unit_find, unit_complete, result_queue;
  Statement rows;
  Statement lease_lowest, lease_serial, lease_delete, lease_insert, lease_count, lease_clear;
  Statement unpushed, unpushed_count, mark_pushed, line_remember;

  ~Impl() { sqlite3_close_v2(db); }

  LogError Error(int code, const char* doing) const {
    std::string text = Reason(code, options.busy_timeout_ms) + " (" + doing + ": ";
    text += db != nullptr && sqlite3_errcode(db) != SQLITE_OK ? sqlite3_errmsg(db)
                                                               : sqlite3_errstr(code);
    text += ")";
    return MakeError(LogError::Kind::kIo, path, text);
  }

  // Runs SQL without results (pragmas, migrations, transaction control).
  int Exec(const char* sql) const { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

  // Steps a statement that returns no row, then resets it.
  int Run(const Statement& statement) const {
    const int rc = sqlite3_step(statement.get());
    statement.Reset();
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
  }

  void Rollback() const { (void)Run(rollback); }

  bool Migrate(LogError* error);
  bool PrepareAll(LogError* error);
};

bool SqliteLog::Impl::Migrate(LogError* error) {
  const std::span<const char* const> migrations = SqliteMigrations();
  const int latest = static_cast<int>(migrations.size());
  const auto read_version = [&](int* version) {
    sqlite3_stmt* statement = nullptr;
    int rc = sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &statement, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) {
      *version = sqlite3_column_int(statement, 0);
      rc = SQLITE_OK;
    }
    sqlite3_finalize(statement);
    return rc;
  };
  int version = 0;
  int rc = read_version(&version);
  if (rc != SQLITE_OK) return *error = Error(rc, "reading the schema version"), false;
  if (version > latest) {
    *error = MakeError(LogError::Kind::kIo, path,
                       "it was written by a newer version of this program (schema " +
                           std::to_string(version) + ", this program knows " +
                           std::to_string(latest) + ")");
    return false;
  }
  schema = version;
  if (version == latest) return true;
  if (options.read_only) {
    if (version == 0) {
      *error = MakeError(LogError::Kind::kIo, path, "it is not a production log (no schema)");
      return false;
    }
    return true;  // older schemas are read as they are (RowsSql reads what they lack)
  }
  // another station may be migrating the same file: decide under the write lock
  rc = Exec("BEGIN IMMEDIATE");
  if (rc != SQLITE_OK) return *error = Error(rc, "upgrading the schema"), false;
  rc = read_version(&version);
  for (; rc == SQLITE_OK && version < latest; ++version) {
    rc = Exec(migrations[static_cast<std::size_t>(version)]);
  }
  if (rc == SQLITE_OK) {
    rc = Exec(("PRAGMA user_version = " + std::to_string(latest)).c_str());
  }
  if (rc == SQLITE_OK) rc = Exec("COMMIT");
  if (rc != SQLITE_OK) {
    *error = Error(rc, "upgrading the schema");
    Exec("ROLLBACK");
    return false;
  }
  schema = latest;
  return true;
}

bool SqliteLog::Impl::PrepareAll(LogError* error) {
  // the export's columns; a file of an older schema, read as it is, gives their defaults
  const auto column = [this](int since, const char* name, const char* before) {
    return std::string(schema >= since ? name : before);
  };
  const std::string rows_sql =
      "SELECT id, started, ended, station, port, image_path, image_sha256, mode, write_length,"
      " overrides, serial, serial_released, exit_code, message, duration_ms, transfers,"
      " chip_status, chip_identity, eeprom_touched, " +
      column(3, "replug, job_name, job_revision, job_sha256, job_key", "'', '', '', '', ''") +
      ", " + column(5, "serial_source", "CASE WHEN serial IS NULL THEN '' ELSE 'counter' END") +
      " FROM units WHERE (?1 = '' OR started >= ?1) AND (?2 = '' OR port = ?2)"
      " AND (?3 = '' OR station = ?3) ORDER BY id";
  const std::pair<Statement*, const char*> statements[] = {
      {&begin, "BEGIN IMMEDIATE"},
      {&sync_full, "PRAGMA synchronous = FULL"},
      {&sync_normal, "PRAGMA synchronous = NORMAL"},
      {&commit, "COMMIT"},
      {&rollback, "ROLLBACK"},
      {&released_lowest,
       "SELECT MIN(number) FROM serials_released WHERE format = ?1 AND number >= ?2"},
      {&released_delete, "DELETE FROM serials_released WHERE format = ?1 AND number = ?2"},
      {&released_insert,
       "INSERT OR IGNORE INTO serials_released(format, number) VALUES(?1, ?2)"},
      {&counter_get, "SELECT next FROM serial_counters WHERE format = ?1"},
      {&counter_set, "INSERT OR REPLACE INTO serial_counters(format, next) VALUES(?1, ?2)"},
      {&held_find, "SELECT unit_id FROM serials_held WHERE serial = ?1"},
      {&held_insert, "INSERT INTO serials_held(serial, unit_id) VALUES(?1, ?2)"},
      {&held_delete, "DELETE FROM serials_held WHERE serial = ?1 AND unit_id = ?2"},
      {&unit_insert,
       "INSERT INTO units(started, station, port, image_path, image_sha256, mode, write_length,"
       " overrides, serial, serial_format, serial_number, job_name, job_revision, job_sha256,"
       " job_key, unit_uid, serial_source)"
       " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17)"},
      {&unit_find,
       "SELECT ended, serial, serial_format, serial_number FROM units WHERE id = ?1"},
      {&unit_complete,
       "UPDATE units SET ended = ?2, exit_code = ?3, message = ?4, duration_ms = ?5,"
       " transfers = ?6, chip_status = ?7, chip_identity = ?8, eeprom_touched = ?9,"
       " serial_released = ?10, replug = ?11 WHERE id = ?1"},
      {&rows, rows_sql.c_str()},
      // the key: the unit's line id in a journal, else one made for its results
      {&result_queue,
       "INSERT INTO results(unit_id, target, key)"
       " SELECT id, ?2, coalesce(unit_uid, ?3) FROM units WHERE id = ?1"},
  };
  for (const auto& [statement, sql] : statements) {
    // exports of a read-only file prepare only what they read
    if (options.read_only && statement != &rows) continue;
    if (statement == &result_queue && options.result_targets.empty()) continue;
    const int rc = statement->Prepare(db, sql);
    if (rc != SQLITE_OK) return *error = Error(rc, "preparing statements"), false;
  }
  if (!journal) return true;
  // a journal's units the line does not have all of yet (begun and not sent, or ended since)
#define QZ_UNPUSHED \
  " WHERE unit_uid IS NOT NULL AND pushed < 2 AND (pushed = 0 OR ended IS NOT NULL)"
  const std::pair<Statement*, const char*> journal_statements[] = {
      {&lease_lowest,
       "SELECT MIN(number) FROM serial_leases WHERE format = ?1 AND number >= ?2"},
      {&lease_serial, "SELECT serial FROM serial_leases WHERE format = ?1 AND number = ?2"},
      {&lease_delete, "DELETE FROM serial_leases WHERE format = ?1 AND number = ?2"},
      {&lease_insert,
       "INSERT OR IGNORE INTO serial_leases(format, number, serial) VALUES(?1, ?2, ?3)"},
      {&lease_count,
       "SELECT COUNT(*) FROM serial_leases WHERE (?1 = '' OR format = ?1) AND number >= ?2"},
      {&lease_clear, "DELETE FROM serial_leases"},
      {&unpushed,
       "SELECT id, started, ended, station, port, image_path, image_sha256, mode, write_length,"
       " overrides, serial, serial_released, exit_code, message, duration_ms, transfers,"
       " chip_status, chip_identity, eeprom_touched, replug, job_name, job_revision, job_sha256,"
       " job_key, serial_source, unit_uid, serial_format, serial_number, pushed FROM units"
       QZ_UNPUSHED " ORDER BY id"},
      {&unpushed_count,
       "SELECT COUNT(*) FROM units" QZ_UNPUSHED},
      {&mark_pushed, "UPDATE units SET pushed = MAX(pushed, ?2) WHERE id = ?1"},
      {&line_remember, "UPDATE journal SET line = coalesce(line, ?1) RETURNING line"},
  };
#undef QZ_UNPUSHED
  for (const auto& [statement, sql] : journal_statements) {
    const int rc = statement->Prepare(db, sql);
    if (rc != SQLITE_OK) return *error = Error(rc, "preparing statements"), false;
  }
  // the lease holder id, made once with the journal
  sqlite3_stmt* read = nullptr;
  int rc = sqlite3_prepare_v2(db, "SELECT holder FROM journal", -1, &read, nullptr);
  if (rc == SQLITE_OK && sqlite3_step(read) == SQLITE_ROW) {
    holder = reinterpret_cast<const char*>(sqlite3_column_text(read, 0));
  }
  sqlite3_finalize(read);
  if (rc != SQLITE_OK) return *error = Error(rc, "reading the journal"), false;
  if (holder.empty()) {
    holder = NewUnitUid();
    rc = Exec(("INSERT INTO journal(holder) VALUES('" + holder + "')").c_str());
    if (rc != SQLITE_OK) return *error = Error(rc, "making the journal"), false;
  }
  return true;
}

SqliteLog::SqliteLog(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SqliteLog::~SqliteLog() = default;

const std::string& SqliteLog::Path() const { return impl_->path; }

namespace {
std::unique_ptr<SqliteLog> OpenFile(const std::string& path, LogError* error,
                                    const LogOptions& options, bool journal) {
  LogError ignored;
  if (error == nullptr) error = &ignored;
  auto impl = std::make_unique<SqliteLog::Impl>();
  impl->path = path;
  impl->options = options;
  impl->journal = journal;

  std::error_code ec;
  if (options.read_only && !std::filesystem::exists(PathFromUtf8(path), ec)) {
    *error = MakeError(LogError::Kind::kIo, path, "no such file");
    return nullptr;
  }
  if (std::filesystem::is_directory(PathFromUtf8(path), ec)) {
    *error = MakeError(LogError::Kind::kIo, path, "it is a directory");
    return nullptr;
  }
  const int flags = (options.read_only ? SQLITE_OPEN_READONLY
                                       : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
                    SQLITE_OPEN_NOMUTEX;
  int rc = sqlite3_open_v2(path.c_str(), &impl->db, flags, nullptr);
  if (rc != SQLITE_OK) {
    *error = impl->Error(rc, "opening");
    return nullptr;
  }
  sqlite3_extended_result_codes(impl->db, 1);
  sqlite3_busy_timeout(impl->db, options.busy_timeout_ms);
  // SQLite falls back to read-only silently when the file cannot be written
  if (!options.read_only && sqlite3_db_readonly(impl->db, "main") == 1) {
    *error = impl->Error(SQLITE_READONLY, "opening for writing");
    return nullptr;
  }
  if (!options.read_only) {
    // WAL lets several stations write one file
    rc = impl->Exec("PRAGMA journal_mode = WAL");
    if (rc != SQLITE_OK) {
      *error = impl->Error(rc, "switching to WAL mode");
      return nullptr;
    }
  }
  if (!impl->Migrate(error)) {
    // A reader of a WAL file needs its shared-memory index; when neither the index nor the
    // directory can be written, a file without a pending WAL is read as immutable.
    const LogError first = *error;
    std::error_code wal_ec;
    const bool wal_pending = std::filesystem::file_size(PathFromUtf8(path + "-wal"), wal_ec) > 0 && !wal_ec;
    if (!options.read_only || (first.message.find("read-only") == std::string::npos) ||
        wal_pending) {
      return nullptr;
    }
    sqlite3_close_v2(impl->db);
    impl->db = nullptr;
    rc = sqlite3_open_v2(ImmutableUri(path).c_str(), &impl->db,
                         SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK || !impl->Migrate(error)) {
      *error = first;
      return nullptr;
    }
  }
  if (!impl->PrepareAll(error)) return nullptr;
  return std::make_unique<SqliteLog>(std::move(impl));
}
}  // namespace

std::unique_ptr<ProductionLog> OpenSqliteLog(const std::string& path, LogError* error,
                                             const LogOptions& options) {
  return OpenFile(path, error, options, false);
}

std::unique_ptr<SqliteJournal> OpenSqliteJournal(const std::string& path, LogError* error,
                                                 const LogOptions& options) {
  LogOptions writable = options;
  writable.read_only = false;
  return OpenFile(path, error, writable, true);
}

std::optional<BegunUnit> SqliteLog::BeginUnit(const UnitStart& start, LogError* error) {
  LogError ignored;
  if (error == nullptr) error = &ignored;
  Impl& impl = *impl_;
  if (impl.options.read_only) {
    *error = MakeError(LogError::Kind::kUsage, impl.path, "opened for reading only");
    return std::nullopt;
  }
  if (!impl.journal && !start.serial_format && !start.serial_list &&
      !start.serial_list_name.empty()) {
    *error = MakeError(LogError::Kind::kUsage, impl.path,
                       "the serial list \"" + start.serial_list_name +
                           "\" is a line database's; a log file takes a list from its file");
    return std::nullopt;
  }
  const std::lock_guard lock(impl.mutex);
  // A begun unit is on the disk before its chip is touched (FULL syncs the WAL at the commit):
  // after a power cut its number is still taken. The sync also carries the completions written
  // since the last one.
  int rc = impl.Run(impl.sync_full);
  if (rc == SQLITE_OK) rc = impl.Run(impl.begin);
  if (rc != SQLITE_OK) return *error = impl.Error(rc, "starting a unit"), std::nullopt;
  const auto fail = [&](int code) -> std::optional<BegunUnit> {
    *error = impl.Error(code, "starting a unit");
    impl.Rollback();
    return std::nullopt;
  };

  // serial number: the lowest released one from the start on, else the counter; in a journal the
  // lowest leased one. A list counts its lines the same way (a journal's list is the line's,
  // its texts leased with the numbers); a given number is only checked.
  std::string serial;
  std::int64_t number = 0;
  std::string key;
  const char* source = "";
  if (!start.serial_given.empty()) {
    source = "program";
    serial = start.serial_given;
    impl.held_find.Bind(1, serial);
    rc = sqlite3_step(impl.held_find.get());
    const std::int64_t holder = rc == SQLITE_ROW ? impl.held_find.Int(0) : 0;
    impl.held_find.Reset();
    if (rc == SQLITE_ROW) {
      impl.Rollback();
      *error = MakeError(LogError::Kind::kSerialRefused, impl.path,
                         "the serial number " + serial + " is held already (unit " +
                             std::to_string(holder) + ")");
      return std::nullopt;
    }
    if (rc != SQLITE_DONE) return fail(rc);
  } else if (start.serial_format || start.serial_list ||
             (impl.journal && !start.serial_list_name.empty())) {
    const SerialFormat* format = start.serial_format ? &*start.serial_format : nullptr;
    const std::vector<std::string>* list = format ? nullptr : start.serial_list.get();
    const bool line_list = format == nullptr && list == nullptr;
    key = format ? format->Text() : "list:" + start.serial_list_name;
    source = format ? "counter" : "list";
    const std::uint64_t floor = format ? std::min(start.serial_start, kLargestStoredNumber) : 0;
    while (true) {
      bool from_released = false;
      std::uint64_t candidate = 0;
      const Statement& lowest = impl.journal ? impl.lease_lowest : impl.released_lowest;
      lowest.Bind(1, key);
      lowest.Bind(2, static_cast<std::int64_t>(floor));
      rc = sqlite3_step(lowest.get());
      if (rc == SQLITE_ROW && !lowest.IsNull(0)) {
        from_released = true;
        candidate = static_cast<std::uint64_t>(lowest.Int(0));
      }
      lowest.Reset();
      if (rc != SQLITE_ROW) return fail(rc);
      if (!from_released && impl.journal) {
        impl.Rollback();
        *error = MakeError(LogError::Kind::kUnavailable, impl.path,
                           "no serial number of " + key + " is leased from the line");
        return std::nullopt;
      }
      if (!from_released) {
        impl.counter_get.Bind(1, key);
        rc = sqlite3_step(impl.counter_get.get());
        const std::uint64_t counter =
            rc == SQLITE_ROW ? static_cast<std::uint64_t>(impl.counter_get.Int(0)) : 0;
        impl.counter_get.Reset();
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) return fail(rc);
        candidate = format ? std::max(counter, start.serial_start) : counter;
      }
      const bool fits = format ? format->Fits(candidate) && candidate <= kLargestStoredNumber
                               : line_list || candidate < list->size();
      if (!fits) {
        impl.Rollback();
        *error = MakeError(LogError::Kind::kSerialExhausted, impl.path,
                           format ? format->OverflowMessage(candidate)
                                  : "the serial list \"" + start.serial_list_name +
                                        "\" is used up (all " + std::to_string(list->size()) +
                                        " numbers were handed out); no further unit starts.");
        return std::nullopt;
      }
      number = static_cast<std::int64_t>(candidate);
      if (line_list) {
        impl.lease_serial.Bind(1, key);
        impl.lease_serial.Bind(2, number);
        rc = sqlite3_step(impl.lease_serial.get());
        serial = rc == SQLITE_ROW ? impl.lease_serial.Text(0) : std::string();
        impl.lease_serial.Reset();
        if (rc != SQLITE_ROW) return fail(rc);
      } else {
        serial = format ? *format->Format(candidate) : (*list)[candidate];
      }
      // take the number off its source
      if (from_released) {
        const Statement& take = impl.journal ? impl.lease_delete : impl.released_delete;
        take.Bind(1, key);
        take.Bind(2, number);
        rc = impl.Run(take);
      } else {
        impl.counter_set.Bind(1, key);
        impl.counter_set.Bind(2, number + 1);
        rc = impl.Run(impl.counter_set);
      }
      if (rc != SQLITE_OK) return fail(rc);
      // another format (or list, or program) may already have made the same text: skip it
      impl.held_find.Bind(1, serial);
      rc = sqlite3_step(impl.held_find.get());
      impl.held_find.Reset();
      if (rc == SQLITE_DONE) break;
      if (rc != SQLITE_ROW) return fail(rc);
    }
  }

  // the unit's row
  const std::string started = start.started.empty() ? NowUtcIso8601() : start.started;
  const Statement& insert = impl.unit_insert;
  insert.Bind(1, started);
  insert.Bind(2, start.station);
  insert.Bind(3, start.port);
  insert.Bind(4, start.image_path);
  insert.Bind(5, start.image_sha256);
  insert.Bind(6, start.mode);
  insert.Bind(7, std::int64_t{start.write_length});
  insert.Bind(8, OverridesJson(start.overrides, serial));
  if (!serial.empty()) insert.Bind(9, serial);
  if (!key.empty()) {
    insert.Bind(10, key);
    insert.Bind(11, number);
  }
  insert.Bind(12, start.job.name);
  insert.Bind(13, start.job.revision);
  insert.Bind(14, start.job.sha256);
  insert.Bind(15, start.job.key);
  if (impl.journal) insert.Bind(16, NewUnitUid());
  insert.Bind(17, std::string(source));
  rc = impl.Run(insert);
  if (rc != SQLITE_OK) return fail(rc);
  const std::int64_t unit_id = sqlite3_last_insert_rowid(impl.db);
  if (!serial.empty()) {
    impl.held_insert.Bind(1, serial);
    impl.held_insert.Bind(2, unit_id);
    rc = impl.Run(impl.held_insert);
    if (rc != SQLITE_OK) return fail(rc);
  }
  rc = impl.Run(impl.commit);
  if (rc != SQLITE_OK) return fail(rc);
  return BegunUnit{unit_id, serial};
}

bool SqliteLog::CompleteUnit(std::int64_t unit_id, const UnitEnd& end, LogError* error) {
  LogError ignored;
  if (error == nullptr) error = &ignored;
  Impl& impl = *impl_;
  if (impl.options.read_only) {
    *error = MakeError(LogError::Kind::kUsage, impl.path, "opened for reading only");
    return false;
  }
  const std::lock_guard lock(impl.mutex);
  // A completion survives a crash of this process at once and a power cut from the next
  // synced commit on; one lost to a power cut leaves the row unfinished and its number held,
  // never given twice. Not syncing here halves the log's disk waits per unit.
  int rc = impl.Run(impl.sync_normal);
  if (rc == SQLITE_OK) rc = impl.Run(impl.begin);
  if (rc != SQLITE_OK) return *error = impl.Error(rc, "completing a unit"), false;
  const auto fail = [&](int code) {
    *error = impl.Error(code, "completing a unit");
    impl.Rollback();
    return false;
  };

  impl.unit_find.Bind(1, unit_id);
  rc = sqlite3_step(impl.unit_find.get());
  const bool found = rc == SQLITE_ROW;
  const bool already_ended = found && !impl.unit_find.IsNull(0);
  const std::string serial = found ? impl.unit_find.Text(1) : std::string();
  const std::string format = found ? impl.unit_find.Text(2) : std::string();
  const std::int64_t number = found ? impl.unit_find.Int(3) : 0;
  // a number from a program has no format: it is held for good
  const bool has_serial = found && !impl.unit_find.IsNull(1) && !impl.unit_find.IsNull(2);
  impl.unit_find.Reset();
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return fail(rc);
  if (!found || already_ended) {
    impl.Rollback();
    *error = MakeError(LogError::Kind::kUsage, impl.path,
                       "unit " + std::to_string(unit_id) +
                           (found ? " is already completed" : " does not exist"));
    return false;
  }
  // a number whose EEPROM stayed untouched goes back for the next unit
  const bool release = has_serial && !end.eeprom_touched;

  const Statement& update = impl.unit_complete;
  update.Bind(1, unit_id);
  update.Bind(2, end.ended.empty() ? NowUtcIso8601() : end.ended);
  update.Bind(3, std::int64_t{end.exit_code});
  update.Bind(4, end.message);
  update.Bind(5, end.duration_ms);
  update.Bind(6, static_cast<std::int64_t>(end.transfers));
  if (end.chip_status) update.Bind(7, std::int64_t{*end.chip_status});
  if (end.chip_identity) update.Bind(8, std::int64_t{*end.chip_identity});
  update.Bind(9, std::int64_t{end.eeprom_touched ? 1 : 0});
  update.Bind(10, std::int64_t{release ? 1 : 0});
  update.Bind(11, end.replug);
  rc = impl.Run(update);
  if (rc != SQLITE_OK) return fail(rc);
  if (release) {
    impl.held_delete.Bind(1, serial);
    impl.held_delete.Bind(2, unit_id);
    rc = impl.Run(impl.held_delete);
    if (rc == SQLITE_OK) {
      // in a journal the number goes back to the lease it came from
      const Statement& back = impl.journal ? impl.lease_insert : impl.released_insert;
      back.Bind(1, format);
      back.Bind(2, number);
      if (impl.journal) back.Bind(3, serial);
      rc = impl.Run(back);
    }
    if (rc != SQLITE_OK) return fail(rc);
  }
  const std::string key = impl.options.result_targets.empty() ? std::string() : NewUnitUid();
  for (const std::string& target : impl.options.result_targets) {
    impl.result_queue.Bind(1, unit_id);
    impl.result_queue.Bind(2, target);
    impl.result_queue.Bind(3, key);
    rc = impl.Run(impl.result_queue);
    if (rc != SQLITE_OK) return fail(rc);
  }
  rc = impl.Run(impl.commit);
  if (rc != SQLITE_OK) return fail(rc);
  return true;
}

std::optional<std::vector<UnitRecord>> SqliteLog::Rows(const LogFilter& filter,
                                                           LogError* error) {
  LogError ignored;
  if (error == nullptr) error = &ignored;
  Impl& impl = *impl_;
  std::string since;
  if (!filter.since.empty()) {
    const std::optional<std::string> normal = NormalizeSince(filter.since);
    if (!normal) {
      *error = BadSince(filter.since);
      return std::nullopt;
    }
    since = *normal;
  }
  const std::lock_guard lock(impl.mutex);
  const Statement& rows = impl.rows;
  rows.Bind(1, since);
  rows.Bind(2, filter.port);
  rows.Bind(3, filter.station);
  std::vector<UnitRecord> records;
  int rc = SQLITE_OK;
  while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) records.push_back(ReadRecord(rows));
  rows.Reset();
  if (rc != SQLITE_DONE) return *error = impl.Error(rc, "reading rows"), std::nullopt;
  return records;
}

bool SqliteLog::ReportStation(const StationState& state, LogError* error) {
  Impl& impl = *impl_;
  const std::lock_guard lock(impl.mutex);
  const int rc = WriteStationState(impl.db, state);
  if (rc != SQLITE_OK && error != nullptr) *error = impl.Error(rc, "writing the station's state");
  return rc == SQLITE_OK;
}

std::optional<std::vector<StationState>> SqliteLog::StationStates(LogError* error) {
  Impl& impl = *impl_;
  std::vector<StationState> states;
  if (impl.schema < 7) return states;  // a file from before the reports, read as it is
  const std::lock_guard lock(impl.mutex);
  const int rc = ReadStationStates(impl.db, &states);
  if (rc == SQLITE_OK) return states;
  if (error != nullptr) *error = impl.Error(rc, "reading the stations' states");
  return std::nullopt;
}

const std::string& SqliteLog::Holder() const { return impl_->holder; }

std::optional<std::vector<JournalUnit>> SqliteLog::Unpushed(LogError* error) {
  Impl& impl = *impl_;
  const std::lock_guard lock(impl.mutex);
  std::vector<JournalUnit> units;
  int rc = SQLITE_OK;
  while ((rc = sqlite3_step(impl.unpushed.get())) == SQLITE_ROW) {
    JournalUnit unit;
    unit.record = ReadRecord(impl.unpushed);
    unit.uid = impl.unpushed.Text(25);
    unit.serial_format = impl.unpushed.Text(26);
    unit.number = impl.unpushed.Int(27);
    unit.begin_pushed = impl.unpushed.Int(28) >= 1;
    units.push_back(std::move(unit));
  }
  impl.unpushed.Reset();
  if (rc != SQLITE_DONE) return *error = impl.Error(rc, "reading the journal"), std::nullopt;
  return units;
}

std::optional<int> SqliteLog::UnpushedCount(LogError* error) {
  Impl& impl = *impl_;
  const std::lock_guard lock(impl.mutex);
  const int rc = sqlite3_step(impl.unpushed_count.get());
  const std::optional<int> count =
      rc == SQLITE_ROW ? std::optional<int>(static_cast<int>(impl.unpushed_count.Int(0)))
                       : std::nullopt;
  impl.unpushed_count.Reset();
  if (!count) *error = impl.Error(rc, "reading the journal");
  return count;
}

bool SqliteLog::MarkPushed(std::span<const JournalUnit> units, LogError* error) {
  Impl& impl = *impl_;
  const std::lock_guard lock(impl.mutex);
  int rc = impl.Run(impl.sync_normal);
  if (rc == SQLITE_OK) rc = impl.Run(impl.begin);
  for (std::size_t i = 0; rc == SQLITE_OK && i < units.size(); ++i) {
    impl.mark_pushed.Bind(1, units[i].record.unit_id);
    impl.mark_pushed.Bind(2, std::int64_t{units[i].record.finished ? 2 : 1});
    rc = impl.Run(impl.mark_pushed);
  }
  if (rc == SQLITE_OK) rc = impl.Run(impl.commit);
  if (rc != SQLITE_OK) {
    *error = impl.Error(rc, "marking units pushed");
    impl.Rollback();
    return false;
  }
  return true;
}

bool SqliteLog::AddLeases(const std::string& format, const std::vector<std::int64_t>& numbers,
                          const std::vector<std::string>* serials, LogError* error) {
  Impl& impl = *impl_;
  const std::lock_guard lock(impl.mutex);
  int rc = impl.Run(impl.begin);
  for (std::size_t i = 0; rc == SQLITE_OK && i < numbers.size(); ++i) {
    impl.lease_insert.Bind(1, format);
    impl.lease_insert.Bind(2, numbers[i]);
    if (serials != nullptr) impl.lease_insert.Bind(3, (*serials)[i]);
    rc = impl.Run(impl.lease_insert);
  }
  if (rc == SQLITE_OK) rc = impl.Run(impl.commit);
  if (rc != SQLITE_OK) {
    *error = impl.Error(rc, "recording leased serial numbers");
    impl.Rollback();
    return false;
  }
  return true;
}

std::optional<std::int64_t> SqliteLog::LeasesLeft(const std::string& format, std::int64_t floor,
                                                  LogError* error) {
  Impl& impl = *impl_;
  const std::lock_guard lock(impl.mutex);
  impl.lease_count.Bind(1, format);
  impl.lease_count.Bind(2, floor);
  const int rc = sqlite3_step(impl.lease_count.get());
  const std::int64_t left = rc == SQLITE_ROW ? impl.lease_count.Int(0) : 0;
  impl.lease_count.Reset();
  if (rc != SQLITE_ROW) return *error = impl.Error(rc, "reading the leases"), std::nullopt;
  return left;
}

bool SqliteLog::ClearLeases(LogError* error) {
  Impl& impl = *impl_;
  const std::lock_guard lock(impl.mutex);
  const int rc = impl.Run(impl.lease_clear);
  if (rc != SQLITE_OK) return *error = impl.Error(rc, "forgetting returned leases"), false;
  return true;
}

std::optional<std::string> SqliteLog::RememberLine(const std::string& line, LogError* error) {
  Impl& impl = *impl_;
  const std::lock_guard lock(impl.mutex);
  impl.line_remember.Bind(1, line);
  int rc = sqlite3_step(impl.line_remember.get());
  const std::string first = rc == SQLITE_ROW ? impl.line_remember.Text(0) : "";
  if (rc == SQLITE_ROW) rc = sqlite3_step(impl.line_remember.get());
  impl.line_remember.Reset();
  if (rc != SQLITE_DONE) return *error = impl.Error(rc, "remembering its line"), std::nullopt;
  return first;
}

}  // namespace qz::prodlog
