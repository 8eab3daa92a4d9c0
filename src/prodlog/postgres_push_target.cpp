// The line database as a station's journal pushes to it (see journaled_log.cpp).
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "prodlog/postgres_internal.h"

namespace qz::prodlog::postgres {
namespace {

using pq::Param;

// A line database as a station's journal pushes to it: no state of its own beyond the
// connection; every call can be repeated.
class PostgresLine final : public LineStore {
 public:
  PostgresLine(std::unique_ptr<pq::Connection> connection, std::string where, LogOptions options)
      : connection_(std::move(connection)), path_(std::move(where)), options_(options) {}

  std::optional<std::vector<std::int64_t>> Lease(const SerialFormat& format, std::int64_t floor,
                                                 std::int64_t count, const std::string& station,
                                                 const std::string& holder,
                                                 LogError* error) override {
    if (!Connected(error)) return std::nullopt;
    return LeaseNumbers(*connection_, path_, options_, format, floor, count, station, holder,
                        error);
  }

  std::optional<std::vector<std::pair<std::int64_t, std::string>>> LeaseList(
      const std::string& name, std::int64_t count, const std::string& station,
      const std::string& holder, LogError* error) override {
    if (!Connected(error)) return std::nullopt;
    return LeaseListNumbers(*connection_, path_, options_, name, count, station, holder, error);
  }

  bool ClaimProgram(const std::string& serial, const std::string& holder,
                    LogError* error) override {
    if (!Connected(error)) return false;
    const pq::Result result = connection_->Run("claim_program", {serial, holder});
    if (result.Ok()) return true;
    if (result.SqlState() == kProgramHeld) {
      *error = LogError{LogError::Kind::kSerialRefused,
                        "Line database " + path_ + ": " + result.Message()};
      return false;
    }
    *error = Failed(*connection_, path_, options_, result, "claiming a serial number");
    if (!connection_->Ok()) error->kind = LogError::Kind::kUnavailable;
    return false;
  }

  bool Push(std::span<const JournalUnit> units, const std::string& holder,
            LogError* error) override {
    if (!Connected(error)) return false;
    pq::Result result = connection_->Run("begin", {});
    if (!result.Ok()) return Fail(result, error);
    for (const JournalUnit& unit : units) {
      if (!PushOne(unit, holder, error)) return false;
    }
    // A COMMIT whose answer is lost is pushed again: the database then has the units already.
    result = connection_->Run("commit", {});
    if (!result.Ok()) return Fail(result, error);
    return true;
  }

  // One unit inside the push's transaction.
  bool PushOne(const JournalUnit& unit, const std::string& holder, LogError* error) {
    const UnitRecord& row = unit.record;
    const bool serial = !unit.serial_format.empty();
    const bool given = row.serial_source == "program";
    // a unit the database has already gives its id again
    pq::Result result = connection_->Run(
        "unit_start",
        {unit.uid, row.started, row.station, row.port, row.image_path, row.image_sha256, row.mode,
         Number(row.write_length), row.overrides_json,
         serial ? Param(unit.serial_format) : std::nullopt,
         serial ? Param(Number(unit.number)) : std::nullopt, row.job.name, row.job.revision,
         row.job.sha256, row.job.key, holder, given ? Param(row.serial) : std::nullopt});
    if (!result.Ok()) return Fail(result, error);
    if (row.finished) {
      // an end the database already has is not written again (no row comes back)
      result = connection_->Run(
          "unit_end",
          {Number(result.Int(0, 0)), row.ended, Number(row.exit_code), row.message,
           Number(row.duration_ms), Number(static_cast<std::int64_t>(row.transfers)),
           row.chip_status ? Param(Number(*row.chip_status)) : std::nullopt,
           row.chip_identity ? Param(Number(*row.chip_identity)) : std::nullopt,
           row.eeprom_touched ? "true" : "false", row.replug, holder});
      if (!result.Ok()) return Fail(result, error);
    }
    return true;
  }

  bool ReturnLeases(const std::string& holder, LogError* error) override {
    if (!Connected(error)) return false;
    const pq::Result result = connection_->Run("lease_return", {holder});
    if (!result.Ok()) return Fail(result, error);
    return true;
  }

  bool ReportStation(const StationState& state, const std::string& holder,
                     LogError* error) override {
    if (!Connected(error)) return false;
    const pq::Result result =
        connection_->Run("station_report", StationReportParams(state, holder));
    if (!result.Ok()) return Fail(result, error);
    return true;
  }

  const std::string& LineId() const override { return line_id_; }

  bool PrepareAll(LogError* error) {
    for (const auto& [name, sql] : Statements()) {
      std::string why;
      if (!connection_->Prepare(name, sql, &why)) {
        *error = LogError{LogError::Kind::kIo,
                          "Line database " + path_ + ": preparing its statements: " + why};
        return false;
      }
    }
    const pq::Result line = connection_->Run("line", {});
    if (!line.Ok() || line.Rows() != 1) {
      *error = Failed(*connection_, path_, options_, line, "reading the line's identity");
      return false;
    }
    line_id_ = line.Text(0, 0);
    return true;
  }

 private:
  bool Connected(LogError* error) {
    if (connection_->Ok() || connection_->Reset()) return true;
    *error = LogError{LogError::Kind::kUnavailable,
                      "Line database " + path_ + ": cannot connect: " + connection_->Error()};
    return false;
  }
  bool Fail(const pq::Result& result, LogError* error) {
    *error = Failed(*connection_, path_, options_, result, "pushing the journal");
    if (!connection_->Ok()) {
      error->kind = LogError::Kind::kUnavailable;
    } else {
      (void)connection_->Exec("ROLLBACK");
    }
    return false;
  }

  std::unique_ptr<pq::Connection> connection_;
  const std::string path_;
  const LogOptions options_;
  std::string line_id_;
};

}  // namespace
}  // namespace qz::prodlog::postgres

namespace qz::prodlog {

std::unique_ptr<LineStore> OpenLineStore(const std::string& location, LogError* error,
                                         const LogOptions& options, std::string* where_out) {
  std::string where;
  std::unique_ptr<pq::Connection> connection = postgres::Connect(location, error, options, &where);
  if (where_out != nullptr) *where_out = where;
  if (!connection) return nullptr;
  auto line = std::make_unique<postgres::PostgresLine>(std::move(connection), where, options);
  if (!line->PrepareAll(error)) return nullptr;
  return line;
}

}  // namespace qz::prodlog
