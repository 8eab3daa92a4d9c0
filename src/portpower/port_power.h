#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "base/clock.h"

namespace qz::station {

// Who re-plugs a chip after its erase: the operator at the cable, the station by switching the
// chip's hub port off and on, or the station with the operator as the way out.
enum class ReplugMode { kOperator, kPower, kAuto };

// "operator", "power", "auto"; nullopt for any other text.
[[nodiscard]] std::optional<ReplugMode> ParseReplugMode(std::string_view text);
[[nodiscard]] const char* ReplugModeName(ReplugMode mode);

// The hub port a USB device sits on, as found while the device was present.
struct HubPort {
  std::string device;  // the USB device on the port when it was found ("1-4.2")
  std::string name;    // the port as the kernel names it ("1-4-port2"), for messages
  std::string hub;     // the hub that owns the port ("1-4"): ports of one hub share its power
  std::string peer;    // the USB 3 peer port's handle ("" when none); switched with the port
  bool ganged = true;  // the hub switches all its ports' power together (or cannot tell)
  std::string handle;  // the backend's own handle of the port (a directory, a chip name)
};

// Switches one hub port's power. One implementation per platform (the kernel's sysfs) and a
// virtual one; none on Windows. Every call may fail; the reason goes to `why`.
class PortPower {
 public:
  virtual ~PortPower() = default;
  // The hub port of the USB device `device`, while the device is present; nullopt when the
  // port cannot be found or offers no power switch.
  [[nodiscard]] virtual std::optional<HubPort> Find(const std::string& device,
                                                    std::string* why) = 0;
  // Switches the port (and its peer) off (`off`) or on; false when a switch was refused.
  [[nodiscard]] virtual bool Switch(const HubPort& port, bool off, std::string* why) = 0;
  // Whether the port reads as switched off at this moment; nullopt when it cannot be read.
  [[nodiscard]] virtual std::optional<bool> IsOff(const HubPort& port) = 0;
  // Whether a USB device sits on the port under the name it had (`port.device`).
  [[nodiscard]] virtual bool DevicePresent(const HubPort& port) = 0;
};

// The platform's port power: sysfs on Linux (sysfs_port_power.cpp), none (null) on Windows
// (no_port_power.cpp).
[[nodiscard]] std::unique_ptr<PortPower> MakePlatformPortPower();

// What the bus shows of the chip after the port came back on.
enum class ChipSeen {
  kNone,       // no chip of ours anywhere
  kRom,        // on the port, in ROM mode
  kFirmware,   // on the port, running its firmware
  kElsewhere,  // on another port
};

// Time-outs and pauses of one re-plug by power.
struct PowerTimings {
  Clock::Duration off_time = std::chrono::seconds(2);  // power kept off once the device left
  Clock::Duration leave_timeout = std::chrono::seconds(5);  // for the device to leave the bus
  Clock::Duration back_timeout = std::chrono::seconds(20);  // for it to come back in ROM mode
  Clock::Duration poll = std::chrono::milliseconds(50);    // how often the bus is looked at
};

// Re-plugs chips by switching their hub ports' power, for every port of a station (or the one
// chip of `write`). It also keeps the rule of hubs that switch all their ports together: such a
// port is not switched while another port of its hub has a unit running. Thread-safe.
class PowerReplugger {
 public:
  // `power` is not owned and outlives this object.
  PowerReplugger(PortPower& power, Clock& clock, PowerTimings timings);

  // What one re-plug gave: ok, or why not (one line for the operator) and whether the chip may
  // have been cut off (the port was switched).
  struct Outcome {
    bool ok = false;
    bool switched = false;
    std::string why;
  };

  // A unit starts (true) or ends (false) on the USB device `device`.
  void SetBusy(const std::string& device, bool busy);

  // Re-plugs the chip on `device` (its link already released): finds the port, switches it
  // off, waits until the device has left, keeps the power off for the off time, switches it on
  // and waits until `look` shows the chip on the same port in ROM mode. Power is always on
  // again when this returns. `stop` (may be empty) ends the waits early; `switched` (may be
  // empty) hears of the power going off (false) once it is off, and on (true) as it is
  // switched on (then off again should that fail).
  [[nodiscard]] Outcome Replug(const std::string& device, const std::function<ChipSeen()>& look,
                               const std::function<bool()>& stop,
                               const std::function<void(bool on)>& switched = {});

  // True the first time it is asked for `port`: the reason for a fallback is told once a port.
  [[nodiscard]] bool FirstFallback(const std::string& port);

 private:
  [[nodiscard]] bool OtherPortBusy(const HubPort& port);

  PortPower& power_;
  Clock& clock_;
  const PowerTimings timings_;
  std::mutex mutex_;
  std::map<std::string, std::string> busy_;  // busy device -> its hub ("" until known)
  std::set<std::string> switching_hubs_;     // ganged hubs a re-plug is switching now
  std::set<std::string> told_;
};

// The hub and port number a USB device name gives ("1-4.2": hub "1-4", port 2; "1-3": the root
// hub "usb1", port 3); nullopt for a name that is not a USB device's.
struct DevicePlace {
  std::string hub;
  int port = 0;
};
[[nodiscard]] std::optional<DevicePlace> PlaceOfDevice(std::string_view device);

}  // namespace qz::station
