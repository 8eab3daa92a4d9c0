#include "production/station_presenter.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <set>
#include <utility>

#include "production/station_setup.h"

namespace qz::production {

namespace {

// How many units the history shows.
constexpr std::size_t kHistoryRows = 50;

constexpr const char* kChooseImage = "Choose an image that passes its check to start.";
constexpr const char* kJobOnly = "This station runs only signed jobs: Load job\u2026 to start.";

std::string Percent(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %%", value);
  return text;
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
long long DaysFromCivil(long long year, long long month, long long day) {
  year -= month <= 2 ? 1 : 0;
  const long long era = (year >= 0 ? year : year - 399) / 400;
  const long long year_of_era = year - era * 400;
  const long long day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const long long day_of_era =
      year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

}  // namespace

std::string TileStateText(const TileState& tile) {
  switch (tile.phase) {
    case TilePhase::kNoChip:
      return "no chip";
    case TilePhase::kReady:
      return "ready";
    case TilePhase::kStopped:
      return "stopped";
    case TilePhase::kWaiting:
      return "waiting for a chip";
    case TilePhase::kProgramming:
      return "programming " + std::to_string(std::clamp(tile.percent, 0, 100)) + " %";
    case TilePhase::kReplug:
      return "re-plug the unit";
    case TilePhase::kPass:
      return tile.remove ? "PASS - remove the unit" : "PASS";
    case TilePhase::kFail:
      return "FAIL (" + std::to_string(tile.code) + ")" + (tile.remove ? " - remove the unit" : "");
  }
  return {};
}

std::string HistoryTime(const std::string& utc) {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  char t = 0;
  if (std::sscanf(utc.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d", &year, &month, &day, &t, &hour, &minute,
                  &second) != 7 ||
      (t != 'T' && t != ' ') || month < 1 || month > 12 || day < 1 || day > 31) {
    return utc;
  }
  const long long utc_seconds =
      DaysFromCivil(year, month, day) * 86400 + hour * 3600LL + minute * 60LL + second;
  const auto when = static_cast<std::time_t>(utc_seconds);
  std::tm local{};
#ifdef _WIN32
  if (localtime_s(&local, &when) != 0) return utc;
#else
  if (localtime_r(&when, &local) == nullptr) return utc;
#endif
  // the offset: the local wall time less the UTC one
  const long long local_seconds =
      DaysFromCivil(local.tm_year + 1900LL, local.tm_mon + 1LL, local.tm_mday) * 86400 +
      local.tm_hour * 3600LL + local.tm_min * 60LL + local.tm_sec;
  const long long offset_minutes = (local_seconds - utc_seconds) / 60;
  const long long magnitude = offset_minutes < 0 ? -offset_minutes : offset_minutes;
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d %c%02lld:%02lld",
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                local.tm_min, local.tm_sec, offset_minutes < 0 ? '-' : '+', magnitude / 60,
                magnitude % 60);
  return text;
}

std::string TotalsText(const TotalsFigures& totals) {
  const int ended = totals.passed + totals.failed;
  std::string text = "Units " + std::to_string(totals.units) + "     Passed " +
                     std::to_string(totals.passed) + "     Failed " +
                     std::to_string(totals.failed) + "     Yield " +
                     (ended == 0 ? std::string("-") : Percent(100.0 * totals.passed / ended)) +
                     "     Units/h ";
  // under a minute of production the rate says nothing yet
  text += totals.hours < 1.0 / 60.0
              ? std::string("-")
              : std::to_string(static_cast<long long>(totals.units / totals.hours + 0.5));
  return text;
}

StationPresenter::StationPresenter(HidBackend& bus, HotplugSource* hotplug, Clock& clock,
                                   StationFace& face)
    : bus_(bus),
      hotplug_(hotplug),
      clock_(clock),
      face_(face),
      mailbox_(std::make_shared<WindowMailbox<StationPresenter>>()) {
  mailbox_->SetWake([this] { return face_.Wake(); });
}

StationPresenter::~StationPresenter() {
  mailbox_->SetWake({});
  if (run_ != nullptr) run_->StopNow();
}

const TileState* StationPresenter::Tile(const std::string& port) const {
  auto it = tiles_.find(port);
  return it == tiles_.end() ? nullptr : &it->second;
}

TotalsFigures StationPresenter::Totals() const {
  TotalsFigures figures;
  if (run_ == nullptr) return figures;
  const station::StationTotals totals = run_->Totals();
  figures.units = totals.units;
  figures.passed = totals.passed;
  figures.failed = totals.failed;
  using Hours = std::chrono::duration<double, std::ratio<3600>>;
  figures.hours = Hours(clock_.Now() - started_at_).count();
  return figures;
}

bool StationPresenter::JobsRunning() const {
  if (!running_) return false;
  return std::any_of(states_.begin(), states_.end(), [](const auto& entry) {
    return entry.second == station::PortState::kProgramming ||
           entry.second == station::PortState::kReplug;
  });
}

void StationPresenter::SetStatus(std::string text, bool alarm) {
  status_ = std::move(text);
  status_alarm_ = alarm;
  face_.StatusChanged();
}

void StationPresenter::SetConfigError(std::string error) {
  config_error_ = std::move(error);
  if (!config_error_.empty()) SetStatus(config_error_, true);
  face_.RunChanged();
}

void StationPresenter::SetSetupState(bool ready, bool require_signed_jobs) {
  if (!config_error_.empty() || running_ || ended_ || run_ != nullptr) return;
  if (!ready) {
    SetStatus(require_signed_jobs ? kJobOnly : kChooseImage);
  } else if (status_ == kChooseImage || status_ == kJobOnly) {
    SetStatus("Ready: press Start.");
  }
}

void StationPresenter::ShowIdlePorts(const std::vector<std::string>& listed) {
  if (run_ != nullptr || ended_) return;
  const std::vector<std::string> chips = PortsWithChips(bus_);
  const std::set<std::string> present(chips.begin(), chips.end());
  std::set<std::string> shown(present);
  shown.insert(listed.begin(), listed.end());
  bool changed = false;
  for (auto it = tiles_.begin(); it != tiles_.end();) {
    if (shown.count(it->first) != 0) {
      ++it;
      continue;
    }
    it = tiles_.erase(it);
    changed = true;
  }
  std::vector<std::string> touched;
  for (const std::string& port : shown) {
    const TilePhase phase = present.count(port) != 0 ? TilePhase::kReady : TilePhase::kNoChip;
    auto [it, added] = tiles_.try_emplace(port);
    changed = changed || added;
    if (added || it->second.phase != phase) {
      it->second.phase = phase;
      touched.push_back(port);
    }
  }
  if (changed) face_.TilesChanged();
  for (const std::string& port : touched) face_.TileChanged(port);
}

void StationPresenter::NotStarted(const std::string& why) {
  SetStatus("Not started: " + why, true);
  face_.RunChanged();
}

bool StationPresenter::Start(const StartSteps& steps, RunPlan plan) {
  if (running_ || ended_ || !config_error_.empty()) return false;
  if (!steps.image_accepted) {
    NotStarted(steps.require_signed_jobs
                   ? "this station runs only signed jobs: Load job\u2026 to start."
                   : "choose an image that passes its check.");
    return false;
  }
  // the overrides are checked with the dialog's rules before any chip is touched
  if (!steps.check_overrides()) {
    NotStarted("the overrides were refused.");
    return false;
  }
  // the ports: as listed, or every port where a chip shows up now
  std::string error;
  std::optional<std::vector<std::string>> ports = RunPorts(steps.listed_ports, bus_, &error);
  if (!ports) {
    NotStarted(error);
    return false;
  }
  // the choices, the serial numbers and the log row's start, checked as every unit's will be
  std::optional<StationStart> start = steps.prepare(&error);
  if (!start) {
    NotStarted(error);
    return false;
  }
  if (!start->unit_start.serial_list_name.empty() && !steps.log_location.empty() &&
      !prodlog::IsDatabaseLocation(steps.log_location)) {
    NotStarted("the serial list \"" + start->unit_start.serial_list_name +
               "\" is one imported into a line database: give the line as the log "
               "(postgresql://... or service=NAME)");
    return false;
  }
  plan.ports = std::move(*ports);
  // every port: also those where a chip first shows up after Start
  plan.take_up_new_ports = steps.listed_ports.empty();
  plan.choices = std::move(start->choices);
  plan.unit_start = std::move(start->unit_start);
  plan.results = std::move(start->results);
  plan.serial_program = std::move(start->serial_program);
  plan.log_location = steps.log_location;
  plan.loop = true;
  return Start(std::move(plan));
}

bool StationPresenter::Start(RunPlan plan) { return Start(nullptr, std::move(plan)); }

bool StationPresenter::Start(std::unique_ptr<StationRun> run, RunPlan plan) {
  if (running_ || ended_ || !config_error_.empty()) return false;
  const std::vector<std::string> ports = plan.ports;
  if (plan.app_name.empty()) plan.app_name = "qz670x-mp";
  if (run == nullptr) {
    prodlog::LogError error;
    run = StationRun::OpenLog(plan, &error);
    if (run == nullptr) {
      NotStarted(error.message);
      return false;
    }
  }
  prodlog::StationState who = StationIdentity(plan.unit_start);
  run->Build(bus_, hotplug_, clock_, std::move(plan), *mailbox_);
  run->Log().SetLineListener([mailbox = mailbox_](const prodlog::LineState& state) {
    mailbox->Post([state](StationPresenter& p) { p.OnLineState(state); });
  });
  if (results::ResultDelivery* delivery = run->Results()) {
    delivery->SetListener([mailbox = mailbox_](const results::ResultsState& state) {
      mailbox->Post([state](StationPresenter& p) { p.OnResultsState(state); });
    });
  }
  log_path_ = run->LogLocation();

  // tiles: the ports of this run, in order; the station follows the bus from now on
  tiles_.clear();
  states_.clear();
  unit_started_.clear();
  for (const std::string& port : ports) tiles_[port].phase = TilePhase::kWaiting;
  face_.TilesChanged();
  for (const std::string& port : ports) face_.TileChanged(port);

  run_ = std::move(run);
  running_ = true;
  stopping_ = false;
  started_at_ = clock_.Now();
  reporter_ = std::make_unique<StationReporter>(run_->Log(), clock_, std::move(who),
                                                [this] { return PortReports(); });
  run_->Start([mailbox = mailbox_] {
    mailbox->Post([](StationPresenter& p) { p.OnRunStopped(); });
  });
  SetStatus("Running: plug in the units.");
  face_.TotalsChanged();
  RefreshHistory();
  face_.RunChanged();
  return true;
}

void StationPresenter::Stop() {
  if (!running_ || stopping_) return;
  stopping_ = true;
  run_->RequestStop();  // running jobs finish, no unit starts
  SetStatus(JobsRunning() ? "Stopping: the running units finish first." : "Stopping.");
  face_.RunChanged();
}

void StationPresenter::StopJobs() {
  if (!running_) return;
  if (!stopping_) Stop();
  run_->RequestStop();  // the second request: the running jobs stop
}

void StationPresenter::SetReports(StationReports* reports, bool every_progress) {
  reports_ = reports;
  mailbox_->KeepEveryProgress(reports != nullptr && every_progress);
}

void StationPresenter::OnRunStopped() {
  if (run_ == nullptr || !running_ || ended_) return;
  exit_code_ = run_->Join();
  running_ = false;
  reporter_->End();
  stopping_ = false;
  face_.TotalsChanged();
  RefreshHistory();
  SetStatus("Stopped.");
  face_.RunChanged();
  if (close_after_stop_) EndNow();
}

bool StationPresenter::Close() {
  if (ended_) return true;
  if (JobsRunning()) {
    // Stopping jobs half-way leaves chips without a header: only an explicit yes does it.
    if (!face_.Confirm(std::string(kStopJobsQuestion)) || ended_) return ended_;
  }
  EndNow();
  return true;
}

void StationPresenter::OnTerminationSignal() {
  if (ended_) return;
  if (close_after_stop_ || !JobsRunning()) {
    EndNow();
    return;
  }
  // Cutting the jobs short would leave chips without a header: they finish first.
  close_after_stop_ = true;
  face_.RunChanged();
  Stop();
}

void StationPresenter::EndNow() {
  if (ended_) return;
  ended_ = true;
  if (run_ != nullptr) {
    run_->StopNow();  // every port's dialog object ends as by its Exit: worker stopped, joined
    running_ = false;
    reporter_->End();
  }
  mailbox_->SetWake({});
  face_.RunChanged();
  face_.Close();
}

void StationPresenter::Tick() {
  const Clock::Duration now = clock_.Now();
  for (auto& [port, tile] : tiles_) {
    if (tile.phase != TilePhase::kProgramming && tile.phase != TilePhase::kReplug) continue;
    tile.seconds = std::chrono::duration<double>(now - unit_started_[port]).count();
    face_.TileChanged(port);
  }
  face_.TotalsChanged();
  if (history_stale_) RefreshHistory();
  if (running_) reporter_->Poll();
}

// (a report may close the window: a modal question runs its own message loop)
void StationPresenter::Drain() {
  mailbox_->Drain(*this, [this] { return ended_; });
  if (running_) reporter_->Poll();
}

std::vector<prodlog::PortReport> StationPresenter::PortReports() const {
  std::vector<prodlog::PortReport> ports;
  for (const auto& [port, tile] : tiles_) {
    prodlog::PortReport report;
    report.port = port;
    switch (tile.phase) {
      case TilePhase::kProgramming:
      case TilePhase::kReplug:
        report.activity = tile.phase == TilePhase::kReplug ? "replug" : "writing";
        report.unit_id = run_->UnitOn(port);
        report.serial = tile.serial;
        if (tile.phase == TilePhase::kProgramming) report.percent = tile.percent;
        break;
      case TilePhase::kStopped:
        report.activity = "stopped";
        break;
      default:
        report.activity = "idle";
    }
    ports.push_back(std::move(report));
  }
  return ports;
}

void StationPresenter::RefreshHistory() {
  history_stale_ = false;
  // (the whole log is read for its last rows: not for a face that shows none)
  if (run_ == nullptr || !face_.ShowsHistory()) return;
  prodlog::LogError error;
  const std::optional<std::vector<prodlog::UnitRecord>> rows = run_->Log().Rows({}, &error);
  if (!rows) {
    SetStatus(error.message, true);
    return;
  }
  history_.clear();
  for (auto it = rows->rbegin(); it != rows->rend() && history_.size() < kHistoryRows; ++it) {
    HistoryRow row;
    row.time = HistoryTime(it->started);
    row.port = it->port;
    row.serial = it->serial;
    if (!it->finished) {
      row.outcome = "unfinished";
    } else if (it->exit_code == 0) {
      row.outcome = "PASS";
      row.passed = true;
    } else {
      row.outcome = "FAIL (" + std::to_string(it->exit_code) + ") " + it->message;
      row.failed = true;
    }
    history_.push_back(std::move(row));
  }
  face_.HistoryChanged();
}

void StationPresenter::OnPortState(const std::string& port, station::PortState state) {
  TileState& tile = tiles_[port];
  const station::PortState previous = states_.count(port) != 0 ? states_[port]
                                                               : station::PortState::kWaiting;
  states_[port] = state;
  switch (state) {
    case station::PortState::kWaiting:
      // the finished unit has been taken away: its outcome stays as one line
      if (previous == station::PortState::kPassed || previous == station::PortState::kFailed) {
        std::string last =
            tile.phase == TilePhase::kFail
                ? "Last unit: FAIL (" + std::to_string(tile.code) + ") " + tile.serial
                : "Last unit: PASS " + tile.serial;
        while (!last.empty() && last.back() == ' ') last.pop_back();
        tile = TileState{};
        tile.message = std::move(last);
      }
      tile.phase = TilePhase::kWaiting;
      break;
    case station::PortState::kProgramming:
      tile.phase = TilePhase::kProgramming;
      break;
    case station::PortState::kReplug:
      tile.phase = TilePhase::kReplug;
      break;
    case station::PortState::kPassed:
      tile.phase = TilePhase::kPass;
      tile.remove = true;
      break;
    case station::PortState::kFailed:
      tile.phase = TilePhase::kFail;
      tile.remove = true;
      break;
    case station::PortState::kStopped:
      // a finished unit keeps its colour until it is taken away, stopped or not
      if (tile.phase != TilePhase::kFail && tile.phase != TilePhase::kPass) {
        tile.phase = TilePhase::kStopped;
        tile.percent = 0;
      }
      break;
  }
  face_.TileChanged(port);  // the buttons follow the run, not a port's state
}

void StationPresenter::OnPortProgress(const std::string& port, int percent) {
  if (reports_ != nullptr) reports_->Progress(port, percent);
  TileState& tile = tiles_[port];
  if (tile.phase != TilePhase::kProgramming || tile.percent == percent) return;
  tile.percent = percent;
  face_.TileChanged(port);
}

void StationPresenter::ShowPortMessage(const std::string& port, const std::string& text) {
  tiles_[port].message = text;
  face_.TileChanged(port);
}

void StationPresenter::OnPortMessage(const std::string& port, const MessageBoxRequest& message) {
  if (reports_ != nullptr) reports_->Message(port, message);
  ShowPortMessage(port, message.text);
}

void StationPresenter::OnPowerNote(const std::string& port, const std::string& text) {
  if (reports_ != nullptr) reports_->PowerNote(port, text);
  ShowPortMessage(port, text);
}

void StationPresenter::OnUnitStarted(const std::string& port, const std::string& serial) {
  if (reports_ != nullptr) reports_->UnitStarted(port, serial);
  unit_started_[port] = clock_.Now();
  TileState& tile = tiles_[port];
  tile = TileState{};
  tile.phase = TilePhase::kProgramming;
  tile.serial = serial;
  tile.seconds = 0;
  face_.TileChanged(port);
}

void StationPresenter::OnUnitFinished(const station::UnitReport& unit) {
  if (reports_ != nullptr) reports_->UnitFinished(unit);
  TileState& tile = tiles_[unit.port];
  tile.code = unit.exit;
  tile.message = unit.message;
  tile.detail = unit.detail;
  if (!unit.detail.empty()) tile.message += "\n" + unit.detail;
  tile.seconds = std::chrono::duration<double>(unit.duration).count();
  tile.phase = unit.passed ? TilePhase::kPass : TilePhase::kFail;
  tile.remove = true;
  if (unit.log_failed) tile.message += "\nIts log row could not be completed.";
  face_.TileChanged(unit.port);
  face_.TotalsChanged();
  history_stale_ = true;  // read again at the next tick: units may end faster than that
}

void StationPresenter::OnStationProblem(const std::string& text) {
  if (reports_ != nullptr) reports_->Problem(text);
  SetStatus(text, true);
}

void StationPresenter::OnLineState(const prodlog::LineState& state) {
  if (reports_ != nullptr) reports_->LineState(state);
  SetStatus(prodlog::LineStateReport(state), !state.online);
}

void StationPresenter::OnResultsState(const results::ResultsState& state) {
  if (reports_ != nullptr) reports_->ResultsState(state);
  // the status tells of a problem and of its end, not of every unit's delivery
  const bool told = !results_.problem.empty();
  results_ = state;
  if (!state.problem.empty() || told) {
    SetStatus(results::ResultsStateText(state), !state.problem.empty());
  }
  face_.TotalsChanged();
}

}  // namespace qz::production
