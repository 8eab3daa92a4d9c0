#pragma once

#include <CLI/CLI.hpp>

#include "devices/device_options.h"
#include "devices/device_session.h"

namespace qz::cli {

using DeviceOptions = qz::DeviceOptions;
using DeviceSession = qz::DeviceSession;
using ScopedDeviceSessionHook = qz::ScopedDeviceSessionHook;

// Registers --simulate[=N], --sim-eeprom, --sim-mode, --sim-fault, --trace, --record,
// --sim-replay, and with `with_port` --port, filling in `options`.
void AddDeviceOptions(CLI::App& command, DeviceOptions& options, bool with_port = true);

}  // namespace qz::cli
