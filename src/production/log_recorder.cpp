#include "production/log_recorder.h"

namespace qz::production {

LogRecorder::LogRecorder(prodlog::ProductionLog& log, prodlog::UnitStart start)
    : log_(log), start_(std::move(start)) {}

std::optional<station::UnitRecorder::Started> LogRecorder::Begin(const std::string& port,
                                                                 std::string* error, bool* wait) {
  prodlog::UnitStart start = start_;
  start.port = port;
  start.started = prodlog::NowUtcIso8601();
  prodlog::LogError why;
  const std::optional<prodlog::BegunUnit> begun = log_.BeginUnit(start, &why);
  if (!begun) {
    if (why.kind == prodlog::LogError::Kind::kSerialExhausted) serials_exhausted_ = true;
    if (wait != nullptr) *wait = why.kind == prodlog::LogError::Kind::kUnavailable;
    if (error != nullptr) *error = why.message;
    return std::nullopt;
  }
  return station::UnitRecorder::Started{begun->unit_id, begun->serial};
}

bool LogRecorder::Complete(std::int64_t id, const station::UnitReport& unit, std::uint8_t status,
                           std::uint32_t identity, std::string* error) {
  prodlog::LogError why;
  if (log_.CompleteUnit(id, UnitEndOf(unit, status, identity), &why)) return true;
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
