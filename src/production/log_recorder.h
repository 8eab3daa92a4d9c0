#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "prodlog/production_log.h"
#include "station/station.h"

namespace qz::serials {
class ProgramSerials;
}  // namespace qz::serials

namespace qz::production {

// Records the station's units in the production log: a row when a unit starts (with its serial
// number, when a format, a list or a program gives them), completed when it ends.
class LogRecorder final : public station::UnitRecorder {
 public:
  // `log` and `program` (may be null) are not owned. `start` holds what every unit shares
  // (station, image, mode, overrides, serial format or list); the port and the time are the
  // unit's own. With `program` each unit's number comes from it.
  LogRecorder(prodlog::ProductionLog& log, prodlog::UnitStart start,
              serials::ProgramSerials* program = nullptr);

  [[nodiscard]] std::optional<station::UnitRecorder::Started> Begin(const std::string& port,
                                                                    std::string* error,
                                                                    Failure* failure) override;
  [[nodiscard]] bool Complete(std::int64_t id, const station::UnitReport& unit, std::uint8_t status,
                              std::uint32_t identity, std::string* error) override;
  // Called after each unit's row is completed (the results wait in the outbox). Before the run.
  void SetCompleted(std::function<void()> completed) { completed_ = std::move(completed); }
  // True once the serial numbers ran out (the station stopped for that, not for the log).
  [[nodiscard]] bool SerialsExhausted() const { return serials_exhausted_.load(); }
  // The row of the unit now running on `port`; 0 none. Any thread.
  [[nodiscard]] std::int64_t UnitOn(const std::string& port) const;

 private:
  // The program's number a port's last start could not be recorded with, for its next start.
  std::optional<std::string> TakeWaiting(const std::string& port);

  prodlog::ProductionLog& log_;
  const prodlog::UnitStart start_;
  serials::ProgramSerials* program_;
  std::atomic<bool> serials_exhausted_{false};
  std::mutex waiting_mutex_;
  std::map<std::string, std::string> waiting_;  // port -> program number
  mutable std::mutex mutex_;
  std::map<std::string, std::int64_t> running_;  // port -> unit row
  std::function<void()> completed_;
};

// What the production log keeps of a finished unit.
[[nodiscard]] prodlog::UnitEnd UnitEndOf(const station::UnitReport& unit, std::uint8_t status,
                                         std::uint32_t identity);

}  // namespace qz::production
