#include "production/log_recorder.h"

#include "serials/serial_program.h"

namespace qz::production {

LogRecorder::LogRecorder(prodlog::ProductionLog& log, prodlog::UnitStart start,
                         serials::ProgramSerials* program)
    : log_(log), start_(std::move(start)), program_(program) {}

std::optional<station::UnitRecorder::Started> LogRecorder::Begin(const std::string& port,
                                                                 std::string* error,
                                                                 Failure* failure) {
  prodlog::UnitStart start = start_;
  start.port = port;
  if (program_ != nullptr) {
    std::string why;
    std::optional<std::string> number = program_->Next(port, &why);
    if (!number) {
      if (failure != nullptr) *failure = Failure::kRefused;
      if (error != nullptr) *error = why;
      return std::nullopt;
    }
    start.serial_given = std::move(*number);
  }
  start.started = prodlog::NowUtcIso8601();
  prodlog::LogError why;
  const std::optional<prodlog::BegunUnit> begun = log_.BeginUnit(start, &why);
  if (!begun) {
    using Kind = prodlog::LogError::Kind;
    if (why.kind == Kind::kSerialExhausted) serials_exhausted_ = true;
    if (failure != nullptr) {
      *failure = why.kind == Kind::kUnavailable     ? Failure::kWait
                 : why.kind == Kind::kSerialRefused ? Failure::kRefused
                                                    : Failure::kStop;
    }
    if (error != nullptr) *error = why.message;
    return std::nullopt;
  }
  return station::UnitRecorder::Started{begun->unit_id, begun->serial};
}

bool LogRecorder::Complete(std::int64_t id, const station::UnitReport& unit, std::uint8_t status,
                           std::uint32_t identity, std::string* error) {
  prodlog::LogError why;
  if (log_.CompleteUnit(id, UnitEndOf(unit, status, identity), &why)) {
    if (completed_) completed_();
    return true;
  }
  if (error != nullptr) *error = why.message;
  return false;
}

prodlog::UnitEnd UnitEndOf(const station::UnitReport& unit, std::uint8_t status,
                           std::uint32_t identity) {
  prodlog::UnitEnd end;
  end.ended = prodlog::NowUtcIso8601();
  end.exit_code = unit.exit;
  end.message = unit.message;
  end.duration_ms = unit.duration.count();
  end.transfers = unit.job.transfers;
  end.eeprom_touched = unit.eeprom_touched;
  end.replug = unit.replug;
  // the job reads the status first (outcome 1: it could not), then the identity (3: it could not)
  const int outcome = unit.job.outcome;
  if (outcome != kJobOutcomeNone && outcome != 1) end.chip_status = status;
  if (outcome != kJobOutcomeNone && outcome != 1 && outcome != 2 && outcome != 3) {
    end.chip_identity = identity;
  }
  return end;
}

}  // namespace qz::production
