#pragma once
// What every station face shows, kept in one place: the run's state and its closing rule, each
// port's tile, the status line, the totals and the last units from the log. A face (the
// terminal, the Qt window, the native window) draws what the presenter reports and forwards the
// operator's clicks; the station's reports reach the presenter through its mailbox, on the
// face's UI thread.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.h"
#include "production/station_report.h"
#include "production/station_run.h"
#include "production/station_setup.h"
#include "production/window_mailbox.h"
#include "prodlog/production_log.h"
#include "results/result_delivery.h"
#include "station/station.h"

namespace qz::production {

// Question asked before closing a station window stops the jobs that run.
inline constexpr std::string_view kStopJobsQuestion =
    "Units are being written.\n"
    "Stopping now leaves their chips' EEPROM header cleared, and those chips must be written "
    "again.\n\n"
    "Stop every write and exit?";

// The phase of one port's tile.
enum class TilePhase {
  kNoChip,       // before Start: a listed port without a chip
  kReady,        // before Start: a chip sits on the port
  kStopped,      // the run has ended
  kWaiting,      // waiting for a chip
  kProgramming,  // a job runs: progress 0..100
  kReplug,       // erased: the unit must be re-plugged
  kPass,         // the unit passed; it is still plugged in
  kFail,         // the unit failed; it is still plugged in
};

// Everything one tile shows.
struct TileState {
  using Phase = TilePhase;
  TilePhase phase = TilePhase::kReady;
  int percent = 0;
  int code = 0;          // with kFail: the unit's exit status
  std::string message;   // the port's last message, the system's own words
  std::string detail;    // with kFail: why, in one line (also the message's last line)
  std::string serial;
  double seconds = -1;   // the unit's time so far (or in all, once ended); < 0: none
  bool remove = false;   // with kPass/kFail: the unit waits to be taken away
};

// The tile's state in words, without the symbols a window may put before them.
[[nodiscard]] std::string TileStateText(const TileState& tile);

// One row of the history: a unit from the log.
struct HistoryRow {
  std::string time;  // local time with its UTC offset: "2026-12-09 14:03:22 +01:00"
  std::string port;
  std::string serial;
  std::string outcome;  // "PASS", "FAIL (n) message" or "unfinished"
  bool passed = false;
  bool failed = false;
};

// A log time (UTC ISO 8601) as the history shows it: local time with its UTC offset. A time that
// cannot be read is shown as it is.
[[nodiscard]] std::string HistoryTime(const std::string& utc_iso8601);

// The totals of the run.
struct TotalsFigures {
  int units = 0;
  int passed = 0;
  int failed = 0;
  double hours = 0;  // since Start
};
// "Units 4     Passed 3     Failed 1     Yield 75.0 %     Units/h 120" (the rate reads "-"
// under a minute of production, the yield "-" before a unit has ended).
[[nodiscard]] std::string TotalsText(const TotalsFigures& totals);

// What a face draws; every call comes on the face's UI thread.
class StationFace {
 public:
  virtual ~StationFace() = default;
  // One tile changed (or appeared).
  virtual void TileChanged(const std::string& port) = 0;
  // The set of tiles changed: lay them out anew from Tiles().
  virtual void TilesChanged() = 0;
  virtual void StatusChanged() = 0;
  virtual void TotalsChanged() = 0;
  virtual void HistoryChanged() = 0;
  // False for a face without a history: the presenter then never reads the log for one.
  [[nodiscard]] virtual bool ShowsHistory() const { return true; }
  // The run's state changed: the buttons and the setup's locks follow it.
  virtual void RunChanged() = 0;
  // Asks the operator a yes/no question (default no).
  virtual bool Confirm(const std::string& question) = 0;
  // Production is over and the window closes.
  virtual void Close() = 0;
  // Asks the UI thread to call Drain() (see WindowMailbox::Wake); any thread, must not block.
  virtual bool Wake() = 0;
};

// Each of the station's reports as it came, on the UI thread, before the presenter takes it in:
// for a face that writes every report down (JSON Lines) besides drawing the tiles.
class StationReports {
 public:
  virtual ~StationReports() = default;
  virtual void Progress(const std::string& port, int percent) = 0;
  virtual void Message(const std::string& port, const MessageBoxRequest& message) = 0;
  virtual void PowerNote(const std::string& port, const std::string& text) = 0;
  virtual void UnitStarted(const std::string& port, const std::string& serial) = 0;
  virtual void UnitFinished(const station::UnitReport& unit) = 0;
  virtual void Problem(const std::string& text) = 0;
  virtual void LineState(const prodlog::LineState& state) = 0;
  virtual void ResultsState(const results::ResultsState& state) = 0;
};

// What Start takes from a face's setup, step by step.
struct StartSteps {
  bool image_accepted = false;
  bool require_signed_jobs = false;
  // Checks the image and the overrides as the dialog checks them, before any chip is touched.
  std::function<bool()> check_overrides;
  // The ports the operator listed; none: every port where a chip sits, and those that show up.
  std::vector<std::string> listed_ports;
  // The choices, serial numbers and log row's start (StationSetup::PrepareStart).
  std::function<std::optional<StationStart>(std::string* error)> prepare;
  std::string log_location;  // "" the default log
};

class StationPresenter {
 public:
  // `bus` (the ports where chips sit before Start), `hotplug` (may be null), `clock` and `face`
  // are not owned and outlive the presenter. Construct on the face's UI thread.
  StationPresenter(HidBackend& bus, HotplugSource* hotplug, Clock& clock, StationFace& face);
  // Stops every job (as a confirmed close does) if production still runs.
  ~StationPresenter();
  StationPresenter(const StationPresenter&) = delete;
  StationPresenter& operator=(const StationPresenter&) = delete;

  // --- what the face draws
  [[nodiscard]] const std::map<std::string, TileState>& Tiles() const { return tiles_; }
  [[nodiscard]] const TileState* Tile(const std::string& port) const;
  [[nodiscard]] const std::string& Status() const { return status_; }
  [[nodiscard]] bool StatusAlarm() const { return status_alarm_; }
  // The results' backlog as last reported (all zero without result targets).
  [[nodiscard]] const results::ResultsState& Results() const { return results_; }
  [[nodiscard]] TotalsFigures Totals() const;
  [[nodiscard]] const std::vector<HistoryRow>& History() const { return history_; }
  // The run (null before Start), e.g. for its log and its stop requests.
  [[nodiscard]] StationRun* Run() { return run_.get(); }
  // The station's exit, once the run has stopped.
  [[nodiscard]] int ExitCode() const { return exit_code_; }
  // The log of the current (or last) run.
  [[nodiscard]] const std::string& LogPath() const { return log_path_; }

  // --- the run's state
  // From Start until the run's end has been handled.
  [[nodiscard]] bool Running() const { return running_; }
  [[nodiscard]] bool Stopping() const { return stopping_; }
  [[nodiscard]] bool Ended() const { return ended_; }
  // True once a run has been started (the idle tiles are gone).
  [[nodiscard]] bool Started() const { return run_ != nullptr; }
  // True while a unit's job runs on any port.
  [[nodiscard]] bool JobsRunning() const;
  // True when a termination signal asked to close once the running units have finished.
  [[nodiscard]] bool ClosingAfterStop() const { return close_after_stop_; }
  // Start can be pressed: nothing runs, the window is open, and the setup can start.
  [[nodiscard]] bool CanStart(bool setup_ready) const {
    return !running_ && !ended_ && config_error_.empty() && setup_ready;
  }

  // --- the operator
  // The station's configuration cannot be used: nothing starts, the status line says why.
  void SetConfigError(std::string error);
  // Before Start: why the setup cannot start ("" when it can). Shown until Start.
  void SetSetupState(bool ready, bool require_signed_jobs);
  // Before Start: a tile for every port where a chip sits ("ready") and for every listed port
  // ("no chip" where none sits). Call again when the bus may have changed.
  void ShowIdlePorts(const std::vector<std::string>& listed = {});
  // A line for the status from the setup ("Job refused.").
  void Note(std::string text, bool alarm = false) { SetStatus(std::move(text), alarm); }
  // Start with `plan` (the ports: as listed, or every port where a chip sits; see RunPorts).
  // False with the reason in the status line.
  bool Start(RunPlan plan);
  // Start with a run whose log is open already (StationRun::OpenLog): builds it from `plan`.
  bool Start(std::unique_ptr<StationRun> opened, RunPlan plan);
  // Start as the Start button does: the setup's steps, then a run of every port (loop).
  bool Start(const StartSteps& steps, RunPlan plan);
  // Stop: running jobs finish, no unit starts.
  void Stop();
  // Stop, and the running jobs stop too (a second request).
  void StopJobs();
  // Each report as it came goes to `reports` too (null: none); `every_progress`: every progress
  // report, in its place among the others. Before Start.
  void SetReports(StationReports* reports, bool every_progress);
  // The operator closes the window: while jobs run, asks kStopJobsQuestion first. True when the
  // window closes.
  bool Close();
  // A termination signal: the window closes once the running units have finished; a second one
  // stops them.
  void OnTerminationSignal();
  // The station's latest report of itself to its log (null before Start).
  [[nodiscard]] const StationReporter* Reporter() const { return reporter_.get(); }
  // Moves the running units' times, the totals and the history on, and reports the station's
  // state to its log when due (a face's timer).
  void Tick();
  // UI thread: what the station has reported since the last time (the face's wake-up); then
  // the station's state goes to its log when due.
  void Drain();

  // --- the station's reports, on the UI thread (through the mailbox)
  void OnPortState(const std::string& port, station::PortState state);
  void OnPortProgress(const std::string& port, int percent);
  void OnPortMessage(const std::string& port, const MessageBoxRequest& message);
  // The port re-plugs by power, or says why the operator must.
  void OnPowerNote(const std::string& port, const std::string& text);
  void OnUnitStarted(const std::string& port, const std::string& serial);
  void OnUnitFinished(const station::UnitReport& unit);
  void OnStationProblem(const std::string& text);
  void OnLineState(const prodlog::LineState& state);
  void OnResultsState(const results::ResultsState& state);

 private:
  void SetStatus(std::string text, bool alarm = false);
  // The port's tile shows `text` (a message box's or a power note's).
  void ShowPortMessage(const std::string& port, const std::string& text);
  void NotStarted(const std::string& why);
  void OnRunStopped();
  void RefreshHistory();
  void EndNow();
  // What the ports do, for the station's report.
  [[nodiscard]] std::vector<prodlog::PortReport> PortReports() const;

  HidBackend& bus_;
  HotplugSource* hotplug_;
  Clock& clock_;
  StationFace& face_;
  std::shared_ptr<WindowMailbox<StationPresenter>> mailbox_;
  std::unique_ptr<StationRun> run_;
  std::unique_ptr<StationReporter> reporter_;  // declared after run_: ends before the log
  StationReports* reports_ = nullptr;
  int exit_code_ = 0;
  std::map<std::string, TileState> tiles_;
  std::map<std::string, station::PortState> states_;
  std::map<std::string, Clock::Duration> unit_started_;
  std::vector<HistoryRow> history_;
  std::string status_;
  bool status_alarm_ = false;
  results::ResultsState results_;
  std::string config_error_;
  std::string log_path_;
  Clock::Duration started_at_{};
  bool running_ = false;
  bool stopping_ = false;
  bool ended_ = false;
  bool close_after_stop_ = false;
  bool history_stale_ = false;
};

}  // namespace qz::production
