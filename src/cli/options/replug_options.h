#pragma once

#include <memory>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

#include "devices/device_session.h"
#include "portpower/port_power.h"

namespace qz::cli {

// Who re-plugs the chip after its erase: --replug and --power-off-time.
struct ReplugOptions {
  std::string mode = "operator";
  double power_off_seconds = 2.0;

  void AddTo(CLI::App& command);
  [[nodiscard]] station::ReplugMode Mode() const;
};

// The port power and re-plugger a program's units use; both null with the operator's re-plug.
struct PowerReplugParts {
  std::unique_ptr<station::PortPower> power;
  std::unique_ptr<station::PowerReplugger> replugger;
};

// Sets the device options the re-plug mode needs (virtual chips then wait for their re-plug).
void PrepareForReplug(const ReplugOptions& replug, DeviceConfig& device);

// Builds the parts for `session`: virtual ports for virtual chips, the platform's otherwise.
// nullopt with a reason in `error` when `--replug power` cannot work here (no port power on
// this platform).
[[nodiscard]] std::optional<PowerReplugParts> MakePowerReplug(const ReplugOptions& replug,
                                                              DeviceSession& session,
                                                              std::string* error);

}  // namespace qz::cli
