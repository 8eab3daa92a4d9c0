#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "hid/hid_backend.h"
#include "hid/hotplug.h"

namespace qz {
class Clock;
namespace sim {
class VirtualChip;
class SimHidBackend;
}  // namespace sim
}  // namespace qz

namespace qz::cli {

// Options of every command that talks to a chip: the real bus, or the virtual chip.
struct DeviceOptions {
  bool simulate = false;                // --simulate: the virtual chip instead of the HID bus
  std::string sim_eeprom;               // --sim-eeprom FILE: EEPROM loaded at start, saved at end
  std::string sim_mode;                 // --sim-mode firmware|rom: mode at plug-in
  std::vector<std::string> sim_faults;  // --sim-fault SPEC, repeatable
  std::string trace;                    // --trace FILE: every report in and out, as text
  std::string port;                     // --port PATH: only the chip on this USB port

  // Registers the options; `with_port` adds --port.
  void AddTo(CLI::App& command, bool with_port = true);
};

// The devices one command works with: the clock, the HID backend (virtual chip or hidapi, with an
// optional trace around it) and the hotplug source. Made from DeviceOptions; owns everything.
class DeviceSession {
 public:
  // Builds a session; nullptr with a reason in `error` when the options are bad or a file cannot
  // be read or opened. `clock` (not owned) replaces the system clock when given.
  [[nodiscard]] static std::unique_ptr<DeviceSession> Create(const DeviceOptions& options,
                                                             std::string* error,
                                                             Clock* clock = nullptr);
  // Finish() if it has not run; a failure then goes nowhere.
  ~DeviceSession();
  DeviceSession(const DeviceSession&) = delete;
  DeviceSession& operator=(const DeviceSession&) = delete;

  // The bus, or with --port the view of that one port.
  [[nodiscard]] HidBackend& Backend();
  // The hotplug source, or null when there is none.
  [[nodiscard]] HotplugSource* Hotplug();
  [[nodiscard]] Clock& GetClock();
  // The virtual chip and its backend; null without --simulate.
  [[nodiscard]] sim::VirtualChip* Chip();
  [[nodiscard]] sim::SimHidBackend* SimBackend();

  // Ends the session: flushes the trace and saves the virtual chip's EEPROM to --sim-eeprom.
  // Runs once; false with a reason in `error` when the save failed.
  [[nodiscard]] bool Finish(std::string* error);

 private:
  DeviceSession();
  struct Parts;
  std::unique_ptr<Parts> parts_;
};

// Test hook: while an instance lives, sessions made without an explicit clock use `clock`, and
// `on_session` (when set) is shown each new session before the command uses it. One at a time.
class ScopedDeviceSessionHook {
 public:
  explicit ScopedDeviceSessionHook(Clock& clock,
                                   std::function<void(DeviceSession&)> on_session = {});
  ~ScopedDeviceSessionHook();
  ScopedDeviceSessionHook(const ScopedDeviceSessionHook&) = delete;
  ScopedDeviceSessionHook& operator=(const ScopedDeviceSessionHook&) = delete;
};

}  // namespace qz::cli
