// Placeholder until the image commands land.
#include "cli/cli_common.h"

namespace qz::cli {
void DescriptorOptions::AddTo(CLI::App&) {}
void DescriptorOptions::ApplyTo(DialogControls&) const {}
void AddImageCommands(CLI::App&, Context&) {}
}  // namespace qz::cli
