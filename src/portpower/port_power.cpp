#include "portpower/port_power.h"

#include <algorithm>
#include <charconv>

namespace qz::station {

std::optional<ReplugMode> ParseReplugMode(std::string_view text) {
  if (text == "operator") return ReplugMode::kOperator;
  if (text == "power") return ReplugMode::kPower;
  if (text == "auto") return ReplugMode::kAuto;
  return std::nullopt;
}

const char* ReplugModeName(ReplugMode mode) {
  switch (mode) {
    case ReplugMode::kOperator:
      return "operator";
    case ReplugMode::kPower:
      return "power";
    case ReplugMode::kAuto:
      return "auto";
  }
  return "?";
}

std::optional<DevicePlace> PlaceOfDevice(std::string_view device) {
  const auto number = [](std::string_view text) -> std::optional<int> {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value <= 0) return std::nullopt;
    return value;
  };
  const std::size_t dash = device.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  const std::optional<int> bus = number(device.substr(0, dash));
  if (!bus) return std::nullopt;
  const std::size_t dot = device.rfind('.');
  if (dot == std::string_view::npos || dot < dash) {
    const std::optional<int> port = number(device.substr(dash + 1));
    if (!port) return std::nullopt;
    return DevicePlace{"usb" + std::to_string(*bus), *port};
  }
  const std::optional<int> port = number(device.substr(dot + 1));
  if (!port) return std::nullopt;
  return DevicePlace{std::string(device.substr(0, dot)), *port};
}

PowerReplugger::PowerReplugger(PortPower& power, Clock& clock, PowerTimings timings)
    : power_(power), clock_(clock), timings_(timings) {}

void PowerReplugger::SetBusy(const std::string& device, bool busy) {
  std::lock_guard lock(mutex_);
  if (!busy) {
    busy_.erase(device);
    return;
  }
  const std::optional<DevicePlace> place = PlaceOfDevice(device);
  busy_[device] = place ? place->hub : std::string();
}

bool PowerReplugger::FirstFallback(const std::string& port) {
  std::lock_guard lock(mutex_);
  return told_.insert(port).second;
}

bool PowerReplugger::OtherPortBusy(const HubPort& port) {
  for (const auto& [device, hub] : busy_) {
    if (device != port.device && hub == port.hub) return true;
  }
  return switching_hubs_.count(port.hub) != 0;
}

PowerReplugger::Outcome PowerReplugger::Replug(const std::string& device,
                                               const std::function<ChipSeen()>& look,
                                               const std::function<bool()>& stop,
                                               const std::function<void(bool on)>& switched) {
  Outcome outcome;
  const auto stopped = [&] { return stop && stop(); };
  const auto note = [&](bool on) {
    if (switched) switched(on);
  };

  // port found
  std::string why;
  const std::optional<HubPort> found = power_.Find(device, &why);
  if (!found) {
    outcome.why = why;
    return outcome;
  }
  const HubPort& port = *found;

  // A hub that switches every port together would cut the other chips in their jobs.
  bool holds_hub = false;
  if (port.ganged) {
    std::lock_guard lock(mutex_);
    if (OtherPortBusy(port)) {
      outcome.why = "hub " + port.hub +
                    " switches all its ports together (or does not say) and another of its "
                    "ports is busy";
      return outcome;
    }
    switching_hubs_.insert(port.hub);
    holds_hub = true;
  }
  const auto release_hub = [&] {
    if (!holds_hub) return;
    std::lock_guard lock(mutex_);
    switching_hubs_.erase(port.hub);
    holds_hub = false;
  };
  // Power goes on again on every way out once it was switched off.
  const auto fail = [&](std::string text) {
    if (outcome.switched) {
      std::string on_why;
      note(true);
      if (!power_.Switch(port, false, &on_why)) {
        note(false);
        text += "; switching it on again failed: " + on_why;
      }
    }
    release_hub();
    outcome.ok = false;
    outcome.why = port.name + ": " + text;
    return outcome;
  };

  // power off
  if (!power_.Switch(port, true, &why)) {
    // a refusal may still have left the port off: then it goes on again
    outcome.switched = power_.IsOff(port).value_or(false);
    return fail("cannot switch it off: " + why);
  }
  outcome.switched = true;
  note(false);
  const auto hub_turned_on = [&] {
    const std::optional<bool> off = power_.IsOff(port);
    return off.has_value() && !*off;
  };

  // device gone
  const Clock::Duration leave_by = clock_.Now() + timings_.leave_timeout;
  while (power_.DevicePresent(port)) {
    if (hub_turned_on()) return fail("the hub turned the power on again by itself");
    if (stopped()) return fail("stopped");
    if (clock_.Now() >= leave_by) {
      return fail("the device did not leave the bus with the port switched off (the hub does "
                  "not switch its power)");
    }
    clock_.SleepFor(timings_.poll);
  }

  // wait with the power off; the device must stay away
  const Clock::Duration on_at = clock_.Now() + timings_.off_time;
  while (clock_.Now() < on_at) {
    if (hub_turned_on() || power_.DevicePresent(port)) {
      return fail("the hub turned the power on again by itself");
    }
    if (stopped()) return fail("stopped");
    clock_.SleepFor(std::min(timings_.poll, on_at - clock_.Now()));
  }

  // power on (heard of as it is switched, so that the chip's return follows it)
  note(true);
  if (!power_.Switch(port, false, &why)) {
    note(false);
    release_hub();
    outcome.why = port.name + ": cannot switch it on again: " + why;
    return outcome;
  }
  release_hub();

  // the same port back in ROM mode
  const Clock::Duration back_by = clock_.Now() + timings_.back_timeout;
  ChipSeen seen = ChipSeen::kNone;
  for (;;) {
    seen = look();
    if (seen == ChipSeen::kRom) {
      outcome.ok = true;
      return outcome;
    }
    if (stopped() || clock_.Now() >= back_by) break;
    clock_.SleepFor(timings_.poll);
  }
  switch (seen) {
    case ChipSeen::kFirmware:
      outcome.why = port.name + ": the chip came back running its firmware";
      break;
    case ChipSeen::kElsewhere:
      outcome.why = port.name + ": the chip came back on another port";
      break;
    case ChipSeen::kNone:
    case ChipSeen::kRom:
      outcome.why = port.name + ": the chip did not come back after the power was switched on";
      break;
  }
  return outcome;
}

}  // namespace qz::station
