#include "cli/options/replug_options.h"

#include <chrono>

#include "base/clock.h"

#include "virtual_station/virtual_port_power.h"

namespace qz::cli {

void ReplugOptions::AddTo(CLI::App& command) {
  command
      .add_option("--replug", mode,
                  "Who re-plugs the chip after the erase: operator (the operator pulls and "
                  "re-inserts the cable when asked), power (the chip's hub port is switched off "
                  "and on through the kernel's sysfs `disable`, Linux 6.0 or later; virtual "
                  "chips too), auto (power, and the operator where the port cannot be switched). "
                  "On Windows only the operator re-plugs")
      ->check(CLI::IsMember({"operator", "power", "auto"}))
      ->type_name("MODE")
      ->capture_default_str();
  command
      .add_option("--power-off-time", power_off_seconds,
                  "With --replug power or auto: seconds the port's power stays off once the chip "
                  "has left the bus")
      ->type_name("SECONDS")
      ->check(CLI::Range(0.0, 600.0))
      ->capture_default_str();
}

station::ReplugMode ReplugOptions::Mode() const {
  return station::ParseReplugMode(mode).value_or(station::ReplugMode::kOperator);
}

void PrepareForReplug(const ReplugOptions& replug, DeviceConfig& device) {
  device.sim_wait_for_replug = replug.Mode() != station::ReplugMode::kOperator;
}

std::optional<PowerReplugParts> MakePowerReplug(const ReplugOptions& replug,
                                                DeviceSession& session, std::string* error) {
  PowerReplugParts parts;
  const station::ReplugMode mode = replug.Mode();
  if (mode == station::ReplugMode::kOperator) return parts;
  if (!session.SimPorts().empty()) {
    parts.power = std::make_unique<station::VirtualPortPower>(
        [&session](const std::string& port) { return session.ChipOnPort(port); });
  } else {
    parts.power = station::MakePlatformPortPower();
  }
  if (parts.power == nullptr) {
    if (mode == station::ReplugMode::kPower) {
      *error = "--replug power: this platform cannot switch a USB port's power; the operator "
               "re-plugs the chip (--replug operator)";
      return std::nullopt;
    }
    return parts;  // auto: the operator, and each unit says why
  }
  station::PowerTimings timings;
  timings.off_time = std::chrono::duration_cast<Clock::Duration>(
      std::chrono::duration<double>(replug.power_off_seconds));
  parts.replugger =
      std::make_unique<station::PowerReplugger>(*parts.power, session.GetClock(), timings);
  return parts;
}

}  // namespace qz::cli
