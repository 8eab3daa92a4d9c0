// Placeholder until the write command lands.
#include "cli/cli_common.h"

namespace qz::cli {
void AddWriteCommand(CLI::App&, Context&) {}
}  // namespace qz::cli
