#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "dialog/dialog_controls.h"
#include "hid/hid_backend.h"
#include "hid/hotplug.h"
#include "station/unit_run.h"

namespace qz::station {

class HotplugFanout;

// What one port is doing, for the operator.
enum class PortState {
  kWaiting,      // no unit yet: waiting for a chip to arrive
  kProgramming,  // a unit's job runs (progress follows)
  kReplug,       // the unit was erased; waiting for it to come back in ROM mode
  kPassed,       // the last unit passed; remove it
  kFailed,       // the last unit failed; remove it
  kStopped,      // the port takes no more units
};

[[nodiscard]] const char* PortStateName(PortState state);  // "waiting", "programming", ...

// One finished unit.
struct UnitReport {
  std::string port;
  std::string serial;  // "" without serial numbers
  int exit = 0;        // as `write` would exit for it
  std::string message;  // the last message box's text
  std::string detail;   // that box's detail: why, or what the outcome means ("" when none)
  bool passed = false;
  bool eeprom_touched = false;
  std::string replug;  // "operator", "power", or "" when no re-plug happened
  std::chrono::milliseconds duration{0};
  JobReport job;
  bool log_failed = false;  // its log row could not be completed
};

// Units, passed, failed, and the rate since the station started.
struct StationTotals {
  int units = 0;
  int passed = 0;
  int failed = 0;
  double units_per_hour = 0;
};

// Receives everything the station has to say. Called from the ports' threads, any number at
// once: implementations lock what they share. A call never waits for another port.
class StationObserver {
 public:
  virtual ~StationObserver() = default;
  virtual void OnPortState(const std::string& port, PortState state) = 0;
  virtual void OnProgress(const std::string& port, int percent) = 0;
  // A message box of the port's dialog, verbatim; it counts as dismissed when this returns.
  virtual void OnMessage(const std::string& port, const MessageBoxRequest& message) = 0;
  // A unit starts; `serial` is its serial number ("" without).
  virtual void OnUnitStarted(const std::string& port, const std::string& serial) = 0;
  virtual void OnUnitFinished(const UnitReport& unit) = 0;
  virtual void OnTotals(const StationTotals& totals) = 0;
  // A station-wide problem (the log cannot be written, ...), one line.
  virtual void OnProblem(const std::string& text) = 0;
  // A port re-plugs its chip by power, or says why the operator must (one line).
  virtual void OnPowerNote(const std::string& port, const std::string& text) {
    (void)port;
    (void)text;
  }
};

// Where units are recorded and numbered (the production log); optional.
class UnitRecorder {
 public:
  virtual ~UnitRecorder() = default;
  struct Started {
    std::int64_t id = 0;
    std::string serial;  // the serial number handed to the unit, or ""
  };
  // Why Begin could not record a unit.
  enum class Failure {
    kStop,     // the log cannot be written or the numbers ran out: the station stops
    kWait,     // not for now (the line database is out of reach): the port asks again later
    kRefused,  // not this unit (no valid serial number for it): it fails without being started
  };
  // Records that a unit starts on `port` and hands out its serial number; nullopt with a reason
  // and *failure when that cannot be done (the unit is then not started). Any thread.
  [[nodiscard]] virtual std::optional<Started> Begin(const std::string& port, std::string* error,
                                                     Failure* failure) = 0;
  // Completes the unit's record; false with a reason. Any thread.
  [[nodiscard]] virtual bool Complete(std::int64_t id, const UnitReport& unit, std::uint8_t status,
                                      std::uint32_t identity, std::string* error) = 0;
};

// The one who takes finished units off a port and plugs the next ones in; none for a person
// at the line. The virtual operator does it for the virtual chips.
class UnitHandler {
 public:
  virtual ~UnitHandler() = default;
  // The unit on `port` has finished: take it away. Port's thread.
  virtual void UnitFinished(const std::string& port) = 0;
  // Called on the port's thread while it waits for the next unit, before it looks at the bus;
  // may take as long as the one at the port takes to plug in the next unit (on the clock).
  virtual void Tick(const std::string& port) = 0;
};

struct StationConfig {
  std::vector<std::string> ports;  // one dialog object each
  UnitChoices choices;             // the same for every unit (its serial comes from the recorder)
  bool loop = false;               // unit after unit, until stopped or `units` are done
  int units = 0;                   // stop after this many units started (0: no limit)
  Clock::Duration replug_timeout = std::chrono::seconds(60);
  // Who re-plugs a chip after its erase (the station makes the one handler for it);
  // `power_replug` (not owned) switches the ports.
  ReplugMode replug = ReplugMode::kOperator;
  PowerReplugger* power_replug = nullptr;
  // With --all-ports and `loop`: ports where a chip first shows up after the start are taken
  // up too, each with a dialog object of its own.
  bool take_up_new_ports = false;
  // How often a waiting port looks at the bus where no hotplug source tells it of changes
  // (elsewhere it sleeps until a device arrives or goes away).
  Clock::Duration poll = std::chrono::seconds(1);
  // How often a port that could not get its unit's serial number for now asks again.
  Clock::Duration begin_retry = std::chrono::seconds(1);
  std::string app_name = "qz670x-mp-cli";
  // Puts something around each port's view of the bus (a session recorder); null with a reason
  // when it cannot, and the port then takes no units. Empty: nothing.
  std::function<std::unique_ptr<HidBackend>(const std::string& port, HidBackend& port_bus,
                                            std::string* error)>
      wrap_port;
};

// Programs chips on several USB ports at once: one dialog object per port, each with its own
// link, sequence byte, worker and re-plug wait, on its own thread that plays the dialog's UI
// thread; one hotplug source shared by all. Every unit is one whole "Write EEPROM".
class Station {
 public:
  // None of the references is owned; all outlive the station. `hotplug`, `recorder` and
  // `handler` may be null.
  Station(HidBackend& bus, HotplugSource* hotplug, Clock& clock, StationConfig config,
          StationObserver& observer, UnitRecorder* recorder, UnitHandler* handler);
  ~Station();
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  // Runs until every port is done (one unit each, or with `loop` until stopped or the units
  // are done). Returns the station's exit: 0 every unit passed, 1 any failed, 74 the log (or a
  // port's recording) failed.
  int Run();
  // First call: running jobs finish, no unit starts. Second call: running jobs stop as a
  // confirmed Exit stops them. Any thread, and a signal handler's watcher.
  void RequestStop();
  [[nodiscard]] int StopRequests() const { return stop_requests_.load(); }
  [[nodiscard]] StationTotals Totals() const;

 private:
  class Port;

  // Blocks a waiting port (or the look-out for new ports) until the bus may have changed:
  // a hotplug event on `view`, a stop, or where nothing tells of changes the safety poll.
  void WaitForBus(HotplugSource* view);
  // With `take_up_new_ports`: starts a port for every port where a chip shows up, until the
  // station stops or its units are done.
  void TakeUpNewPorts(HotplugFanout& fanout);
  void WakeWaiters();

  HidBackend& bus_;
  HotplugSource* hotplug_;
  Clock& clock_;
  const StationConfig config_;
  StationObserver& observer_;
  UnitRecorder* recorder_;
  UnitHandler* handler_;
  const std::unique_ptr<ReplugHandler> replug_;  // every port's re-plug step
  std::atomic<int> stop_requests_{0};
  std::atomic<int> units_started_{0};
  std::atomic<int> units_{0};
  std::atomic<int> passed_{0};
  std::atomic<int> failed_{0};
  std::atomic<bool> log_failed_{false};
  Clock::Duration started_at_{};
  std::vector<std::unique_ptr<Port>> ports_;
  std::mutex fanout_mutex_;
  HotplugFanout* fanout_ = nullptr;  // while Run runs
};

}  // namespace qz::station
