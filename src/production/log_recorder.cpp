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
    std::optional<std::string> number = TakeWaiting(port);
    if (!number) number = program_->Next(port, &why);
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
    // a program's number the log could not take yet (the line out of reach) is the port's next
    if (why.kind == Kind::kUnavailable && !start.serial_given.empty()) {
      const std::lock_guard lock(waiting_mutex_);
      waiting_[port] = start.serial_given;
    }
    if (failure != nullptr) {
      *failure = why.kind == Kind::kUnavailable     ? Failure::kWait
                 : why.kind == Kind::kSerialRefused ? Failure::kRefused
                                                    : Failure::kStop;
    }
    if (error != nullptr) *error = why.message;
    return std::nullopt;
  }
  {
    const std::lock_guard lock(mutex_);
    running_[port] = begun->unit_id;
  }
  return station::UnitRecorder::Started{begun->unit_id, begun->serial};
}

std::optional<std::string> LogRecorder::TakeWaiting(const std::string& port) {
  const std::lock_guard lock(waiting_mutex_);
  const auto found = waiting_.find(port);
  if (found == waiting_.end()) return std::nullopt;
  std::string number = std::move(found->second);
  waiting_.erase(found);
  return number;
}

std::int64_t LogRecorder::UnitOn(const std::string& port) const {
  const std::lock_guard lock(mutex_);
  const auto found = running_.find(port);
  return found == running_.end() ? 0 : found->second;
}

bool LogRecorder::Complete(std::int64_t id, const station::UnitReport& unit, std::uint8_t status,
                           std::uint32_t identity, std::string* error) {
  {
    const std::lock_guard lock(mutex_);
    std::erase_if(running_, [id](const auto& entry) { return entry.second == id; });
  }
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
