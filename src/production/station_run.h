#pragma once
// One run of production at a station, assembled in one place for every face: the ports, the log
// (and the line journal behind it), the recorder, who re-plugs the chips, the virtual operator
// when the chips are virtual, the station's configuration, the station itself, the thread it
// runs on and the stop requests.

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "prodlog/production_log.h"
#include "prodlog/result_outbox.h"
#include "results/result_target.h"
#include "station/station.h"
#include "station/unit_run.h"

namespace qz {
class HidBackend;
class HotplugSource;
}  // namespace qz

namespace qz::sim {
class VirtualChip;
}  // namespace qz::sim

namespace qz::station {
class VirtualOperator;
}  // namespace qz::station

namespace qz::serials {
class ProgramRunner;
class ProgramSerials;
}  // namespace qz::serials

namespace qz::results {
class ResultDelivery;
class ResultSender;
}  // namespace qz::results

namespace qz::production {

class LogRecorder;

// Everything a run is made from.
struct RunPlan {
  std::vector<std::string> ports;
  bool take_up_new_ports = false;  // also the ports where a chip first shows up later
  station::UnitChoices choices;
  bool loop = true;
  int units = 0;  // with `loop`: end after this many units; 0 none
  std::optional<Clock::Duration> replug_timeout;  // none: the station's default
  std::string app_name;
  // Who re-plugs the chips after their erase; `power_replug` (may be null) is not owned.
  station::ReplugMode replug = station::ReplugMode::kOperator;
  station::PowerReplugger* power_replug = nullptr;
  // Wraps each port's backend (a recording of the port); may be empty.
  decltype(station::StationConfig::wrap_port) wrap_port;

  // The log: `log_location` as given ("" the default file; set to the file opened), every
  // unit's row start, and the log's options.
  std::string log_location;
  prodlog::UnitStart unit_start;
  prodlog::LogOptions log_options;
  // Not empty: each unit's serial number comes from this program of the factory (its words,
  // without a shell), asked ahead `serial_ahead` numbers per port, each run within
  // `serial_program_timeout`.
  std::vector<std::string> serial_program;
  std::chrono::milliseconds serial_program_timeout{10000};
  int serial_ahead = 2;
  // Where every finished unit's result goes (none: nowhere); at the station's end the run
  // delivers for at most `results_flush` and leaves the rest to the next start.
  results::ResultTargets results;
  Clock::Duration results_flush = std::chrono::seconds(5);

  // With virtual chips: the chip on a port. A virtual operator then takes each finished unit off
  // and plugs in a fresh chip after `virtual_pause`.
  std::function<sim::VirtualChip*(const std::string& port)> virtual_chip;
  Clock::Duration virtual_pause = std::chrono::milliseconds(500);
};

class StationRun {
 public:
  // A run is made in two steps, so that a caller can check more between them: the log first
  // (null with `error` when it cannot be opened), then the station. `bus`, `hotplug` (may be
  // null), `clock` and `observer` are not owned and outlive the run.
  [[nodiscard]] static std::unique_ptr<StationRun> OpenLog(const RunPlan& plan,
                                                           prodlog::LogError* error);
  void Build(HidBackend& bus, HotplugSource* hotplug, Clock& clock, RunPlan plan,
             station::StationObserver& observer);
  ~StationRun();
  StationRun(const StationRun&) = delete;
  StationRun& operator=(const StationRun&) = delete;

  // Runs the station on a thread of its own; `stopped` is called on that thread at the end.
  void Start(std::function<void()> stopped = {});
  // Waits for the station's thread. Returns the station's exit.
  int Join();
  // First call: running jobs finish, no unit starts. Second call: running jobs stop.
  void RequestStop();
  [[nodiscard]] int StopRequests() const;
  // Every port's running job stops as a confirmed Exit stops it; waits until all have ended.
  void StopNow();

  [[nodiscard]] station::StationTotals Totals() const;
  [[nodiscard]] prodlog::ProductionLog& Log() { return *log_; }
  // The row of the unit now running on `port`; 0 none.
  [[nodiscard]] std::int64_t UnitOn(const std::string& port) const;
  // The log's location as opened.
  [[nodiscard]] const std::string& LogLocation() const { return log_location_; }
  // The deliverer of the results; null without result targets. Set its listener before Start.
  [[nodiscard]] results::ResultDelivery* Results() { return results_.get(); }

 private:
  StationRun();
  // The results outbox and its senders; false and *error when they cannot be made.
  bool OpenResults(const RunPlan& plan, prodlog::LogError* error);

  std::string log_location_;
  std::unique_ptr<prodlog::ProductionLog> log_;
  std::unique_ptr<serials::ProgramRunner> program_runner_;
  std::unique_ptr<serials::ProgramSerials> program_;
  std::unique_ptr<prodlog::ResultOutbox> outbox_;                // until Build
  std::vector<std::unique_ptr<results::ResultSender>> senders_;  // until Build
  std::unique_ptr<results::ResultDelivery> results_;
  Clock::Duration results_flush_{};
  std::unique_ptr<LogRecorder> recorder_;
  std::unique_ptr<station::VirtualOperator> virtual_operator_;
  std::unique_ptr<station::Station> station_;
  std::thread runner_;
  int exit_code_ = 0;
};

}  // namespace qz::production
