#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hid/hid_backend.h"
#include "hid/hotplug.h"

namespace qz {
class Clock;
namespace recording {
class RecordingBackend;
}
namespace sim {
class VirtualChip;
class SimHidBackend;
struct Fault;
}  // namespace sim

// Chips the virtual station holds (ports sim-1..sim-64); asking for more is a usage error.
inline constexpr int kMaxVirtualChips = 64;

// What a program chooses to talk to: the real bus, or virtual chips.
struct DeviceConfig {
  int simulate = 0;                     // virtual chips on ports sim-1..sim-N instead of the bus
  std::string sim_eeprom;               // one chip: a FILE (or DIR/sim-1.bin); more: DIR/sim-K.bin
  std::string sim_mode;                 // firmware|rom: mode at plug-in
  bool sim_virtual_time = false;        // the protocol's pauses pass at once (virtual chips only)
  std::vector<std::string> sim_faults;  // "[sim-K:]SPEC": one chip's, or without prefix every chip's
  std::string trace;                    // every report in and out, as text, to this file
  std::string port;                     // only the chip on this USB port
  std::string record;                   // the HID session, as a recording, to this file
  std::vector<std::string> sim_replay;  // recordings played back by chips on sim-1, sim-2, ...
  // The program (name and version) and the image it writes (SHA-256 as hex and length), for a
  // recording's header and to check that a replayed recording is of the same image.
  std::string program;
  std::string image_sha256;
  std::uint64_t image_length = 0;
  // The virtual chips stay on the bus after an erase until something re-plugs them (their
  // ports' power); otherwise they re-plug themselves at once, as the operator would.
  bool sim_wait_for_replug = false;
};

// Splits a fault text into its port prefix ("sim-3:corrupt@0x40" gives "sim-3") and the fault;
// no prefix means every chip (empty port). nullopt with a reason in `error`.
[[nodiscard]] std::optional<sim::Fault> ParsePortFault(std::string_view text, std::string* port,
                                                        std::string* error);

// The devices one program works with: the clock, the HID backend (virtual chips or hidapi, with
// an optional trace around it, and an optional port view) and the one hotplug source. Owns
// everything.
class DeviceSession {
 public:
  // Builds a session; nullptr with a reason in `error` when the options are bad or a file cannot
  // be read or opened. `clock` (not owned) replaces the system clock when given.
  [[nodiscard]] static std::unique_ptr<DeviceSession> Create(const DeviceConfig& config,
                                                             std::string* error,
                                                             Clock* clock = nullptr);
  // Finish() if it has not run; a failure then goes nowhere.
  ~DeviceSession();
  DeviceSession(const DeviceSession&) = delete;
  DeviceSession& operator=(const DeviceSession&) = delete;

  // The bus, or with a port the view of that one port.
  [[nodiscard]] HidBackend& Backend();
  // The whole bus, whatever port the session was made for.
  [[nodiscard]] HidBackend& BusBackend();
  // The hotplug source, or null when there is none.
  [[nodiscard]] HotplugSource* Hotplug();
  [[nodiscard]] Clock& GetClock();
  // The first virtual chip and its backend; null without virtual chips.
  [[nodiscard]] sim::VirtualChip* Chip();
  [[nodiscard]] sim::SimHidBackend* SimBackend();
  // The virtual chip on `port` ("sim-K"), or null.
  [[nodiscard]] sim::VirtualChip* ChipOnPort(std::string_view port);
  // Ports of the virtual chips, in order; empty on the real bus.
  [[nodiscard]] std::vector<std::string> SimPorts() const;

  // The session's recorder (with --record), to tell it of power switches; null without.
  [[nodiscard]] recording::RecordingBackend* Recorder();

  // Ends the session: flushes the trace and the recording, saves the virtual chips' EEPROMs and
  // says whether replayed recordings were followed to their end. Runs once; false with a reason
  // in `error` when something failed.
  [[nodiscard]] bool Finish(std::string* error);

 private:
  DeviceSession();
  struct Parts;
  std::unique_ptr<Parts> parts_;
};

// Test hook: while an instance lives, sessions made without an explicit clock use `clock`, and
// `on_session` (when set) is shown each new session before the program uses it. One at a time.
class ScopedDeviceSessionHook {
 public:
  explicit ScopedDeviceSessionHook(Clock& clock,
                                   std::function<void(DeviceSession&)> on_session = {});
  ~ScopedDeviceSessionHook();
  ScopedDeviceSessionHook(const ScopedDeviceSessionHook&) = delete;
  ScopedDeviceSessionHook& operator=(const ScopedDeviceSessionHook&) = delete;
};

}  // namespace qz
