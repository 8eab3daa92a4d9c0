// The production log of a line: one PostgreSQL database that every station writes.
//
// Everything lives in the schema "qz670x". A station never waits long on the network: libpq's
// connect_timeout and TCP keepalives bound the connection, lock_timeout and statement_timeout
// every statement. When the connection breaks in the middle of a unit, the log connects again
// and looks the unit up by the id the station made for it (unit_uid), so a COMMIT whose outcome
// was lost is neither lost nor done twice.
//
// This file: the store that writes each unit straight to the database (no journal between),
// and reads the rows back.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "prodlog/postgres_internal.h"

namespace qz::prodlog {
namespace {

using postgres::Connect;
using postgres::Failed;
using postgres::LeaseNumbers;
using postgres::Number;
using postgres::Statements;
using postgres::kUniqueViolation;
using pq::Param;

// Serial numbers are stored as bigint, which is signed.
constexpr std::uint64_t kLargestStoredNumber =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

// "2026-01-31T08" ... completed to a full UTC time, for a comparison in the database.
std::string SinceTime(const std::string& prefix) {
  static const std::string kZero = "0000-00-00T00:00:00.000";
  std::string full = prefix;
  if (full.size() == 10) full += "T00:00";
  if (full.size() == 16) full += ":00";
  if (full.size() == 19) full += ".000";
  return full + (full.size() < kZero.size() ? kZero.substr(full.size()) : "") + "Z";
}

class PostgresLog final : public ProductionLog {
 public:
  PostgresLog(std::unique_ptr<pq::Connection> connection, std::string where, LogOptions options,
              postgres::Schema schema)
      : connection_(std::move(connection)),
        path_(std::move(where)),
        options_(options),
        schema_(schema) {}
  // Returns the numbers of its blocks that no unit took.
  ~PostgresLog() override;

  [[nodiscard]] const std::string& Path() const override { return path_; }
  [[nodiscard]] std::optional<BegunUnit> BeginUnit(const UnitStart& start,
                                                   LogError* error) override;
  [[nodiscard]] bool CompleteUnit(std::int64_t unit_id, const UnitEnd& end,
                                  LogError* error) override;
  [[nodiscard]] std::optional<std::vector<UnitRecord>> Rows(const LogFilter& filter,
                                                            LogError* error) override;
  [[nodiscard]] bool ReportStation(const StationState& state, LogError* error) override;
  [[nodiscard]] std::optional<std::vector<StationState>> StationStates(
      LogError* error) override;

  bool PrepareAll(LogError* error) {
    std::string why;
    const auto prepared = [&](const char* name, const std::string& sql) {
      if (connection_->Prepare(name, sql, &why)) return true;
      *error = Error("preparing its statements: " + why);
      return false;
    };
    if (!prepared("rows", postgres::RowsStatement(schema_))) return false;
    // a reader prepares only what it reads: a database an older schema left as it is (a
    // reader never upgrades it) lacks the functions of the later ones, a head office has none
    if (Reads()) return true;
    for (const auto& [name, sql] : Statements()) {
      if (!prepared(name, sql)) return false;
    }
    return true;
  }

 private:
  // Opened for reading, or a head office's record (which only replication writes).
  bool Reads() const {
    return options_.read_only || schema_.kind == postgres::SchemaKind::kHeadOffice;
  }
  LogError Error(const std::string& text, LogError::Kind kind = LogError::Kind::kIo) const {
    return LogError{kind, "Line database " + path_ + ": " + text};
  }
  LogError Failed(const pq::Result& result, const char* doing) const {
    return prodlog::Failed(*connection_, path_, options_, result, doing);
  }
  // The connection broke: connect again (prepared statements come back with it).
  bool Reconnect(LogError* error) {
    if (connection_->Reset()) return true;
    *error = Error("cannot connect again: " + connection_->Error());
    return false;
  }
  void Rollback() { (void)connection_->Exec("ROLLBACK"); }

  // The lowest number of this station's blocks from `floor` on, leasing a new block when none
  // is left; nullopt and *error when none can be had (exhausted, or the database failed).
  std::optional<std::int64_t> NextNumber(const SerialFormat& format, std::int64_t floor,
                                         const std::string& station, LogError* error);
  bool LeaseBlock(const SerialFormat& format, std::int64_t floor, const std::string& station,
                  LogError* error);
  std::optional<BegunUnit> TryBegin(const UnitStart& start, const std::string& uid,
                                    LogError* error);
  bool TryComplete(std::int64_t unit_id, const UnitEnd& end, LogError* error);

  std::mutex mutex_;
  std::unique_ptr<pq::Connection> connection_;
  const std::string path_;
  const LogOptions options_;
  const postgres::Schema schema_;
  // This log's lease holder id, and the numbers leased to it, per format.
  const std::string holder_ = NewUnitUid();
  std::map<std::string, std::set<std::int64_t>> leased_;
  // Calls whose outcome was lost with the connection and could not be looked up then (the
  // server was still away): the unit id made for a port's start, and units whose completion
  // may have been committed. The next call for the same port or unit looks them up first, so a
  // retry neither begins a second row nor finds its own completion "already completed".
  std::map<std::string, std::string> unsettled_begins_;  // port -> unit uid
  std::set<std::int64_t> unsettled_completions_;
  // A reader: whether the database has the station reports (an older schema has none).
  std::optional<bool> has_states_;
};

PostgresLog::~PostgresLog() {
  const std::lock_guard lock(mutex_);
  bool any = false;
  for (const auto& [format, numbers] : leased_) any = any || !numbers.empty();
  if (!any) return;
  // Unused numbers go back to the line's pool, recorded as returned. When this fails (the
  // database is gone) they stay leased to this holder: held for good, never handed out twice.
  if (!connection_->Ok() && !connection_->Reset()) return;
  (void)connection_->Run("lease_return", {holder_});
}

bool PostgresLog::LeaseBlock(const SerialFormat& format, std::int64_t floor,
                             const std::string& station, LogError* error) {
  const std::optional<std::vector<std::int64_t>> numbers =
      LeaseNumbers(*connection_, path_, options_, format, floor,
                   std::max(options_.serial_block, 1), station, holder_, error);
  if (!numbers) return false;
  leased_[format.Text()].insert(numbers->begin(), numbers->end());
  return true;
}

std::optional<std::int64_t> PostgresLog::NextNumber(const SerialFormat& format,
                                                    std::int64_t floor,
                                                    const std::string& station,
                                                    LogError* error) {
  for (int round = 0; round < 2; ++round) {
    const std::set<std::int64_t>& numbers = leased_[format.Text()];
    if (const auto it = numbers.lower_bound(floor); it != numbers.end()) return *it;
    if (round == 0 && !LeaseBlock(format, floor, station, error)) return std::nullopt;
  }
  *error = Error("no serial number could be leased", LogError::Kind::kIo);
  return std::nullopt;
}

std::optional<BegunUnit> PostgresLog::BeginUnit(const UnitStart& start, LogError* error) {
  LogError ignored;
  if (error == nullptr) error = &ignored;
  if (Reads()) {
    *error = Error("opened for reading only", LogError::Kind::kUsage);
    return std::nullopt;
  }
  if (!LineTakesSerialsOf(start, path_, /*journaled=*/false, error)) return std::nullopt;
  const std::lock_guard lock(mutex_);
  const auto unsettled = unsettled_begins_.find(start.port);
  const bool retry = unsettled != unsettled_begins_.end();
  const std::string uid = retry ? unsettled->second : NewUnitUid();
  if (!connection_->Ok() && !Reconnect(error)) return std::nullopt;
  std::optional<BegunUnit> begun;
  if (!retry) {
    begun = TryBegin(start, uid, error);
    if (begun || connection_->Ok()) return begun;
    // The connection broke; the unit may have been committed before it did.
    if (!connection_->Reset()) {
      unsettled_begins_[start.port] = uid;
      *error = Error("cannot connect again: " + connection_->Error());
      return std::nullopt;
    }
  }
  const LogError first = *error;
  const pq::Result found = connection_->Run("unit_by_uid", {uid});
  if (!found.Ok()) return *error = Failed(found, "looking a unit up"), std::nullopt;
  unsettled_begins_.erase(start.port);
  if (found.Rows() == 1) {
    if (start.serial_format && !found.IsNull(0, 1)) {
      leased_[start.serial_format->Text()].erase(found.Int(0, 2));
    }
    return BegunUnit{found.Int(0, 0), found.Text(0, 1)};
  }
  begun = TryBegin(start, uid, error);
  if (!begun && error->kind == LogError::Kind::kIo && !connection_->Ok()) *error = first;
  return begun;
}

std::optional<BegunUnit> PostgresLog::TryBegin(const UnitStart& start, const std::string& uid,
                                               LogError* error) {
  const std::string started = start.started.empty() ? NowUtcIso8601() : start.started;
  // the row; with a number, the number taken off this station's lease and held by the unit
  const auto run = [&](std::optional<std::int64_t> number, std::string* serial) {
    if (number) *serial = *start.serial_format->Format(static_cast<std::uint64_t>(*number));
    return connection_->Run(
        "unit_start",
        {uid, started, start.station, start.port, start.image_path, start.image_sha256,
         start.mode, Number(start.write_length), OverridesJson(start.overrides, *serial),
         number ? Param(start.serial_format->Text()) : std::nullopt,
         number ? Param(Number(*number)) : std::nullopt, start.job.name, start.job.revision,
         start.job.sha256, start.job.key, holder_,
         start.serial_given.empty() ? Param() : Param(start.serial_given)});
  };
  std::string serial = start.serial_given;
  if (!start.serial_format) {
    const pq::Result result = run(std::nullopt, &serial);
    if (result.SqlState() == postgres::kProgramHeld) {
      *error = Error(result.Message(), LogError::Kind::kSerialRefused);
      return std::nullopt;
    }
    if (!result.Ok()) return *error = Failed(result, "starting a unit"), std::nullopt;
    return BegunUnit{result.Int(0, 0), serial};
  }
  const SerialFormat& format = *start.serial_format;
  const auto floor =
      static_cast<std::int64_t>(std::min(start.serial_start, kLargestStoredNumber));
  while (true) {
    const std::optional<std::int64_t> number = NextNumber(format, floor, start.station, error);
    if (!number) return std::nullopt;
    const pq::Result result = run(*number, &serial);
    if (result.Ok()) {
      leased_[format.Text()].erase(*number);
      return BegunUnit{result.Int(0, 0), serial};
    }
    if (result.SqlState() == postgres::kNotLeased ||
        (result.SqlState() == kUniqueViolation && result.Constraint() == "serials_held_pkey")) {
      // no longer leased to us, or another format made the same text: skip the number
      leased_[format.Text()].erase(*number);
      continue;
    }
    *error = Failed(result, "starting a unit");
    return std::nullopt;
  }
}

bool PostgresLog::CompleteUnit(std::int64_t unit_id, const UnitEnd& end, LogError* error) {
  LogError ignored;
  if (error == nullptr) error = &ignored;
  if (Reads()) {
    *error = Error("opened for reading only", LogError::Kind::kUsage);
    return false;
  }
  const std::lock_guard lock(mutex_);
  if (!connection_->Ok() && !Reconnect(error)) return false;
  const bool retry = unsettled_completions_.count(unit_id) != 0;
  if (!retry) {
    if (TryComplete(unit_id, end, error)) return true;
    if (connection_->Ok()) return false;
    // The connection broke; the completion may have been committed before it did.
    unsettled_completions_.insert(unit_id);
    if (!Reconnect(error)) return false;
  }
  const LogError first = *error;
  const pq::Result ended = connection_->Run("unit_ended", {Number(unit_id)});
  if (!ended.Ok()) return *error = Failed(ended, "completing a unit"), false;
  unsettled_completions_.erase(unit_id);
  if (ended.Rows() == 1 && ended.Text(0, 0) == "t") {
    // done before the break; a released number went back to this station's lease
    return true;
  }
  if (TryComplete(unit_id, end, error)) return true;
  if (!connection_->Ok()) *error = first;
  return false;
}

bool PostgresLog::TryComplete(std::int64_t unit_id, const UnitEnd& end, LogError* error) {
  const std::string id = Number(unit_id);
  const pq::Result result = connection_->Run(
      "unit_end",
      {id, end.ended.empty() ? NowUtcIso8601() : end.ended, Number(end.exit_code), end.message,
       Number(end.duration_ms), Number(static_cast<std::int64_t>(end.transfers)),
       end.chip_status ? Param(Number(*end.chip_status)) : std::nullopt,
       end.chip_identity ? Param(Number(*end.chip_identity)) : std::nullopt,
       end.eeprom_touched ? "true" : "false", end.replug, holder_});
  if (!result.Ok()) return *error = Failed(result, "completing a unit"), false;
  if (result.Rows() == 0) {
    const pq::Result found = connection_->Run("unit_ended", {id});
    const bool exists = found.Ok() && found.Rows() == 1;
    *error = Error("unit " + id + (exists ? " is already completed" : " does not exist"),
                   LogError::Kind::kUsage);
    return false;
  }
  // a number whose EEPROM stayed untouched is this station's again, for its next unit
  if (result.Text(0, 0) == "t") leased_[result.Text(0, 1)].insert(result.Int(0, 2));
  return true;
}

std::optional<std::vector<UnitRecord>> PostgresLog::Rows(const LogFilter& filter,
                                                         LogError* error) {
  LogError ignored;
  if (error == nullptr) error = &ignored;
  Param since;
  if (!filter.since.empty()) {
    const std::optional<std::string> normal = NormalizeSince(filter.since);
    if (!normal) return *error = BadSince(filter.since), std::nullopt;
    since = SinceTime(*normal);
  }
  const std::lock_guard lock(mutex_);
  if (!connection_->Ok() && !Reconnect(error)) return std::nullopt;
  pq::Result rows = connection_->Run("rows", {since, filter.port, filter.station});
  if (!rows.Ok() && !connection_->Ok()) {
    if (!Reconnect(error)) return std::nullopt;
    rows = connection_->Run("rows", {since, filter.port, filter.station});
  }
  if (!rows.Ok()) return *error = Failed(rows, "reading rows"), std::nullopt;
  std::vector<UnitRecord> records;
  records.reserve(static_cast<std::size_t>(rows.Rows()));
  for (int i = 0; i < rows.Rows(); ++i) {
    UnitRecord record;
    record.unit_id = rows.Int(i, 0);
    record.started = rows.Text(i, 1);
    record.finished = !rows.IsNull(i, 2);
    record.ended = rows.Text(i, 2);
    record.station = rows.Text(i, 3);
    record.port = rows.Text(i, 4);
    record.image_path = rows.Text(i, 5);
    record.image_sha256 = rows.Text(i, 6);
    record.mode = rows.Text(i, 7);
    record.write_length = static_cast<std::uint32_t>(rows.Int(i, 8));
    record.overrides_json = rows.Text(i, 9);
    record.serial = rows.Text(i, 10);
    record.serial_released = rows.Text(i, 11) == "t";
    record.exit_code = static_cast<int>(rows.Int(i, 12));
    record.message = rows.Text(i, 13);
    record.duration_ms = rows.Int(i, 14);
    record.transfers = static_cast<std::uint64_t>(rows.Int(i, 15));
    if (!rows.IsNull(i, 16)) record.chip_status = static_cast<std::uint8_t>(rows.Int(i, 16));
    if (!rows.IsNull(i, 17)) record.chip_identity = static_cast<std::uint32_t>(rows.Int(i, 17));
    record.eeprom_touched = rows.Text(i, 18) == "t";
    record.replug = rows.Text(i, 19);
    record.job = {rows.Text(i, 20), rows.Text(i, 21), rows.Text(i, 22), rows.Text(i, 23)};
    record.serial_source = rows.Text(i, 24);
    record.site = rows.Text(i, 25);
    records.push_back(std::move(record));
  }
  return records;
}

}  // namespace

std::optional<std::int64_t> ImportSerialList(const std::string& location, const std::string& name,
                                             const std::vector<std::string>& numbers,
                                             LogError* error) {
  std::string where;
  std::unique_ptr<pq::Connection> connection = Connect(location, error, LogOptions{}, &where);
  if (!connection) {
    error->kind = LogError::Kind::kIo;
    return std::nullopt;
  }
  // an array literal: each number quoted, its quotes and backslashes escaped
  std::string array = "{";
  for (const std::string& number : numbers) {
    if (array.size() > 1) array += ',';
    array += '"';
    for (const char c : number) {
      if (c == '"' || c == '\\') array += '\\';
      array += c;
    }
    array += '"';
  }
  array += '}';
  std::string why;
  // the owner's alone: no station prepares it
  if (!connection->Prepare("import_serials",
                           "SELECT qz670x.import_serials($1::text, $2::text[])", &why)) {
    *error = LogError{LogError::Kind::kIo, "Line database " + where + ": " + why};
    return std::nullopt;
  }
  const pq::Result result = connection->Run("import_serials", {name, array});
  if (result.Ok()) return result.Int(0, 0);
  if (result.SqlState() == postgres::kImportRefused ||
      result.SqlState() == "22023" /* invalid_parameter_value */) {
    *error = LogError{LogError::Kind::kUsage, "Line database " + where + ": " + result.Message()};
  } else {
    *error = postgres::Failed(*connection, where, LogOptions{}, result,
                              "importing a serial list");
  }
  return std::nullopt;
}

std::unique_ptr<ProductionLog> OpenPostgresLog(const std::string& location, LogError* error,
                                               const LogOptions& options) {
  std::string where;
  postgres::Schema schema;
  std::unique_ptr<pq::Connection> connection = Connect(location, error, options, &where, &schema);
  if (!connection) {
    if (error->kind == LogError::Kind::kUnavailable) error->kind = LogError::Kind::kIo;
    return nullptr;
  }
  auto log = std::make_unique<PostgresLog>(std::move(connection), where, options, schema);
  if (!log->PrepareAll(error)) return nullptr;
  return log;
}

bool PostgresLog::ReportStation(const StationState& state, LogError* error) {
  LogError ignored;
  if (error == nullptr) error = &ignored;
  const std::lock_guard lock(mutex_);
  if (!connection_->Ok() && !Reconnect(error)) return false;
  const pq::Result result =
      connection_->Run("station_report", postgres::StationReportParams(state, holder_));
  if (!result.Ok()) return *error = Failed(result, "writing the station's state"), false;
  return true;
}

std::optional<std::vector<StationState>> PostgresLog::StationStates(LogError* error) {
  LogError ignored;
  if (error == nullptr) error = &ignored;
  const std::lock_guard lock(mutex_);
  if (!connection_->Ok() && !Reconnect(error)) return std::nullopt;
  if (!has_states_) {
    // a reader prepares the statement once it knows the schema has the table
    const pq::Result found =
        connection_->Exec("SELECT to_regclass('qz670x.station_state') IS NOT NULL");
    if (!found.Ok()) return *error = Failed(found, "reading the stations' states"), std::nullopt;
    has_states_ = found.Text(0, 0) == "t";
    std::string why;
    if (*has_states_ && options_.read_only) {
      for (const auto& [name, sql] : Statements()) {
        if (std::string_view(name) != "station_states") continue;
        if (!connection_->Prepare(name, sql, &why)) {
          has_states_.reset();
          return *error = Error("preparing its statements: " + why), std::nullopt;
        }
      }
    }
  }
  if (!*has_states_) return std::vector<StationState>{};
  const pq::Result states = connection_->Run("station_states", {});
  if (!states.Ok()) return *error = Failed(states, "reading the stations' states"), std::nullopt;
  return postgres::StationStatesOf(states);
}

}  // namespace qz::prodlog
