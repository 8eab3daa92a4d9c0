#pragma once

#include <span>
#include <string>
#include <vector>

#include "hid/chip_identities.h"

namespace qz {

// A chip whose hidraw node exists but that this account may not open.
struct UnopenableChip {
  std::string port;  // USB port path, "1-1.2" ("" when sysfs does not show it)
  std::string node;  // "/dev/hidraw3"
};

// Chips of `identities` present as hidraw nodes that open() refuses with EACCES or EPERM. Reads
// sysfs and tries each matching node once (closing it again); nothing when there is no hidraw.
[[nodiscard]] std::vector<UnopenableChip> FindUnopenableChips(
    std::span<const UsbIdentity> identities);

// The line shown beside "USB deivce is NOT found!!" for such a chip: where it is, why it cannot
// be opened, and the command that gives access (install the udev rule, or join group plugdev
// where the rule is installed already).
[[nodiscard]] std::string UnopenableChipHint(const UnopenableChip& chip);

// Hints for every unopenable chip of the fixed search identities, one line each.
[[nodiscard]] std::vector<std::string> UnopenableChipHints();

}  // namespace qz
