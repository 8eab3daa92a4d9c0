// Placeholder until the device commands land.
#include "cli/cli_common.h"

namespace qz::cli {
void AddDeviceCommands(CLI::App&, Context&) {}
}  // namespace qz::cli
