#pragma once

#include <string>

#include <CLI/CLI.hpp>

#include "devices/device_session.h"

namespace qz::cli {

// Options of every command that talks to a chip: the real bus, or virtual chips.
struct DeviceOptions : DeviceConfig {
  // Registers --simulate[=N], --sim-eeprom, --sim-mode, --sim-fault, --trace, and with
  // `with_port` --port.
  void AddTo(CLI::App& command, bool with_port = true);
};

using DeviceSession = qz::DeviceSession;
using ScopedDeviceSessionHook = qz::ScopedDeviceSessionHook;

}  // namespace qz::cli
