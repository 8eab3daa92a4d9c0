#include "station/station.h"

#include <algorithm>
#include <thread>

#include "dialog/headless_controls.h"
#include "dialog/qz670x_dialog.h"
#include "hid/chip_identities.h"
#include "hid/port_scoped_backend.h"
#include "station/hotplug_fanout.h"

namespace qz::station {

const char* PortStateName(PortState state) {
  switch (state) {
    case PortState::kWaiting:
      return "waiting";
    case PortState::kProgramming:
      return "programming";
    case PortState::kReplug:
      return "re-plug";
    case PortState::kPassed:
      return "PASS";
    case PortState::kFailed:
      return "FAIL";
    case PortState::kStopped:
      return "stopped";
  }
  return "?";
}

// One port: its view of the bus and of the hotplug source, its dialog object over in-memory
// controls, and the thread that plays the dialog's UI thread and the operator at that port.
class Station::Port {
 public:
  Port(Station& station, std::string name, HotplugSource* hotplug_view)
      : station_(station),
        name_(std::move(name)),
        backend_(station.bus_, name_),
        hotplug_view_(hotplug_view) {}

  ~Port() {
    if (thread_.joinable()) thread_.join();
  }
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  void Start() { thread_ = std::thread([this] { Main(); }); }
  [[nodiscard]] const std::string& Name() const { return name_; }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  [[nodiscard]] bool SoftStop() const { return station_.stop_requests_.load() >= 1; }
  [[nodiscard]] bool HardStop() const { return station_.stop_requests_.load() >= 2; }
  // Every unit the station was asked for has started: no port waits for more.
  [[nodiscard]] bool UnitsDone() const {
    return station_.config_.units > 0 && station_.units_started_.load() >= station_.config_.units;
  }

  // A chip of ours sits on the port (any QZ670x identity, or the operator's target).
  bool ChipPresent() {
    const std::vector<HidDeviceInfo> interfaces = Bus().Enumerate();
    return std::any_of(interfaces.begin(), interfaces.end(), [](const HidDeviceInfo& info) {
      return info.vendor_id == kQzVendorId;
    });
  }

  // Waits until the bus shows `present`; false when a stop came first. Between looks at the
  // bus it sleeps until a device arrives or goes away.
  bool WaitForPresence(bool present) {
    for (;;) {
      if (SoftStop() || UnitsDone()) return false;
      // the one at the port brings the next unit only once the last one is gone
      if (present && station_.handler_ != nullptr) station_.handler_->Tick(name_);
      (void)dialog_->DispatchHotplugEvents();
      if (ChipPresent() == present) return true;
      station_.WaitForBus(hotplug_view_);
    }
  }

  void Main() {
    StationObserver& observer = station_.observer_;
    const StationConfig& config = station_.config_;
    if (config.wrap_port) {
      std::string why;
      wrapped_ = config.wrap_port(name_, backend_, &why);
      if (!wrapped_) {
        observer.OnProblem(name_ + ": " + why);
        station_.log_failed_ = true;
        observer.OnPortState(name_, PortState::kStopped);
        station_.WakeWaiters();
        return;
      }
    }
    dialog_ = std::make_unique<CQZ670xWriteEepromMPUtyDlg>(controls_, Bus(), station_.clock_,
                                                            hotplug_view_, config.app_name);
    controls_.SetMessageHandler(
        [this](const MessageBoxRequest& message) { station_.observer_.OnMessage(name_, message); });
    (void)dialog_->OnInitDialog();

    bool exited = false;
    for (bool first = true;; first = false) {
      observer.OnPortState(name_, PortState::kWaiting);
      if (!config.loop && !first) break;
      if (config.loop ? !WaitForPresence(true) : (SoftStop() || !ChipPresent())) break;
      if (config.units > 0) {
        const int started = station_.units_started_.fetch_add(1);
        if (started >= config.units) break;
        if (started + 1 == config.units) station_.WakeWaiters();  // the others wait no longer
      }

      UnitRecorder::Started record;
      if (station_.recorder_ != nullptr) {
        std::string refused;
        std::optional<UnitRecorder::Started> begun = BeginRecord(&refused);
        if (!begun && refused.empty()) break;
        if (!begun) {
          // the chip stays untouched; it goes as a failed unit does
          UnitReport report;
          report.port = name_;
          report.exit = static_cast<int>(Exit::kOverrideRejected);
          report.message = "This unit was not started: it has no serial number.";
          report.detail = refused;
          Finished(report);
          if (!config.loop) break;
          if (station_.handler_ != nullptr) station_.handler_->UnitFinished(name_);
          if (!WaitForPresence(false)) break;
          continue;
        }
        record = *begun;
      }
      UnitChoices choices = config.choices;
      if (!record.serial.empty()) choices.serial = record.serial;
      observer.OnUnitStarted(name_, record.serial);
      // the arrival's probe: the dialog learns this chip's mode
      dialog_->ProbeRomMode();
      observer.OnPortState(name_, PortState::kProgramming);

      UnitHooks hooks;
      hooks.on_message = [this](const MessageBoxRequest& message) {
        station_.observer_.OnMessage(name_, message);
      };
      hooks.on_progress = [this](int percent) { station_.observer_.OnProgress(name_, percent); };
      hooks.stop = [this] { return HardStop(); };
      hooks.on_replug_wait = [this](bool waiting) {
        station_.observer_.OnPortState(name_,
                                       waiting ? PortState::kReplug : PortState::kProgramming);
      };
      hooks.replug_timeout = config.replug_timeout;
      hooks.replug = station_.replug_.get();
      hooks.bus = &station_.bus_;
      hooks.device = name_;
      hooks.on_power = [this](const std::string& text) {
        station_.observer_.OnPowerNote(name_, text);
      };
      // a hub that switches its ports together waits for this unit to end
      if (config.power_replug != nullptr) config.power_replug->SetBusy(name_, true);
      const Clock::Duration began = station_.clock_.Now();
      const UnitResult result = RunUnit(*dialog_, controls_, choices, hooks);
      if (config.power_replug != nullptr) config.power_replug->SetBusy(name_, false);

      UnitReport report;
      report.port = name_;
      report.serial = record.serial;
      report.exit = static_cast<int>(result.exit);
      report.message = result.message;
      report.detail = result.detail;
      report.passed = result.exit == Exit::kOk;
      report.eeprom_touched = result.eeprom_touched;
      report.replug = result.replug;
      report.duration =
          std::chrono::duration_cast<std::chrono::milliseconds>(station_.clock_.Now() - began);
      report.job = result.job;
      if (station_.recorder_ != nullptr) {
        std::string why;
        if (!station_.recorder_->Complete(record.id, report, dialog_->ChipStatus,
                                          dialog_->ChipIdentity, &why)) {
          report.log_failed = true;
          station_.log_failed_ = true;
          observer.OnProblem(name_ + ": the unit's log row could not be completed: " + why);
        }
      }
      Finished(report);

      if (result.exited) {
        exited = true;
        break;
      }
      if (!config.loop) break;
      if (station_.handler_ != nullptr) station_.handler_->UnitFinished(name_);
      if (!WaitForPresence(false)) break;
    }
    if (!exited) dialog_->OnExit();
    observer.OnPortState(name_, PortState::kStopped);
    dialog_.reset();
    wrapped_.reset();  // a recording ends with the port's work
    station_.WakeWaiters();  // the look-out for new ports may be done now
  }

  // A unit has ended (or was refused): counted and shown.
  void Finished(const UnitReport& report) {
    StationObserver& observer = station_.observer_;
    ++station_.units_;
    ++(report.passed ? station_.passed_ : station_.failed_);
    observer.OnUnitFinished(report);
    observer.OnTotals(station_.Totals());
    observer.OnPortState(name_, report.passed ? PortState::kPassed : PortState::kFailed);
  }

  // The unit's record and serial number. When the recorder has none for now, the port says so
  // once and asks again until it has one or the station stops. nullopt: no unit starts; with
  // *refused set only this one (why), the port goes on.
  std::optional<UnitRecorder::Started> BeginRecord(std::string* refused) {
    std::string said;
    for (;;) {
      std::string why;
      UnitRecorder::Failure failure = UnitRecorder::Failure::kStop;
      std::optional<UnitRecorder::Started> begun =
          station_.recorder_->Begin(name_, &why, &failure);
      if (begun) {
        if (!said.empty()) station_.observer_.OnProblem(name_ + ": units start again");
        return begun;
      }
      if (failure == UnitRecorder::Failure::kRefused) {
        *refused = why.empty() ? "no serial number" : why;
        return std::nullopt;
      }
      if (failure == UnitRecorder::Failure::kStop) {
        station_.observer_.OnProblem(name_ + ": " + why);
        station_.log_failed_ = true;
        station_.RequestStop();  // no unit starts without its row
        return std::nullopt;
      }
      if (why != said) station_.observer_.OnProblem(name_ + ": " + why);
      said = why;
      if (SoftStop()) return std::nullopt;
      station_.clock_.SleepFor(station_.config_.begin_retry);
      if (SoftStop()) return std::nullopt;
    }
  }

  HidBackend& Bus() { return wrapped_ ? *wrapped_ : backend_; }

  Station& station_;
  const std::string name_;
  PortScopedBackend backend_;
  std::unique_ptr<HidBackend> wrapped_;  // around backend_, when the station wraps ports
  HotplugSource* hotplug_view_;
  HeadlessControls controls_;
  std::unique_ptr<CQZ670xWriteEepromMPUtyDlg> dialog_;
  std::thread thread_;
};

Station::Station(HidBackend& bus, HotplugSource* hotplug, Clock& clock, StationConfig config,
                 StationObserver& observer, UnitRecorder* recorder, UnitHandler* handler)
    : bus_(bus),
      hotplug_(hotplug),
      clock_(clock),
      config_(std::move(config)),
      observer_(observer),
      recorder_(recorder),
      handler_(handler),
      replug_(MakeReplugHandler(config_.replug, config_.power_replug)) {}

Station::~Station() {
  for (const std::unique_ptr<Port>& port : ports_) port->Join();
}

int Station::Run() {
  started_at_ = clock_.Now();
  HotplugFanout fanout(hotplug_);
  {
    std::lock_guard lock(fanout_mutex_);
    fanout_ = &fanout;
  }
  for (const std::string& name : config_.ports) {
    ports_.push_back(std::make_unique<Port>(*this, name, fanout.NewView()));
  }
  for (const std::unique_ptr<Port>& port : ports_) port->Start();
  if (config_.take_up_new_ports && config_.loop) TakeUpNewPorts(fanout);
  for (const std::unique_ptr<Port>& port : ports_) port->Join();
  ports_.clear();
  {
    std::lock_guard lock(fanout_mutex_);
    fanout_ = nullptr;
  }
  if (log_failed_) return static_cast<int>(Exit::kIoError);
  return failed_.load() > 0 ? 1 : 0;
}

void Station::TakeUpNewPorts(HotplugFanout& fanout) {
  HotplugSource* view = fanout.NewView();
  (void)view->Start();
  for (;;) {
    if (stop_requests_.load() >= 1) break;
    if (config_.units > 0 && units_started_.load() >= config_.units) break;
    (void)view->TakeEvents();
    std::vector<HidDeviceInfo> listed = bus_.Enumerate();
    std::erase_if(listed, [](const HidDeviceInfo& info) { return info.vendor_id != kQzVendorId; });
    for (const std::string& name : PortsOf(listed)) {
      if (std::find(config_.ports.begin(), config_.ports.end(), name) != config_.ports.end() ||
          std::any_of(ports_.begin(), ports_.end(),
                      [&](const std::unique_ptr<Port>& port) { return port->Name() == name; })) {
        continue;
      }
      ports_.push_back(std::make_unique<Port>(*this, name, fanout.NewView()));
      ports_.back()->Start();
    }
    WaitForBus(view);
  }
  view->Stop();
}

void Station::WaitForBus(HotplugSource* view) {
  // Where there is no waiting thread, the view is pumped this often (in real time).
  constexpr std::chrono::milliseconds kPump{50};
  HotplugFanout* fanout = nullptr;
  {
    std::lock_guard lock(fanout_mutex_);
    fanout = fanout_;
  }
  if (fanout != nullptr && view != nullptr && fanout->CanWait(view)) {
    fanout->Wait(view, fanout->Pumping() ? std::chrono::hours(1) : kPump);
  } else {
    clock_.SleepFor(config_.poll);
  }
}

void Station::WakeWaiters() {
  std::lock_guard lock(fanout_mutex_);
  if (fanout_ != nullptr) fanout_->Wake();
}

void Station::RequestStop() {
  stop_requests_.fetch_add(1);
  WakeWaiters();
}

StationTotals Station::Totals() const {
  StationTotals totals;
  totals.units = units_.load();
  totals.passed = passed_.load();
  totals.failed = failed_.load();
  const double hours =
      std::chrono::duration<double, std::ratio<3600>>(clock_.Now() - started_at_).count();
  totals.units_per_hour = hours > 0 ? totals.units / hours : 0;
  return totals;
}

}  // namespace qz::station
