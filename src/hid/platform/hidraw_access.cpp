#include "hid/platform/hidraw_access.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string_view>

#include "hid/platform/hidapi_backend.h"

namespace qz {

namespace {

namespace fs = std::filesystem;

// "HID_ID=0003:00001D6C:00006841" in the HID device's uevent: bus, vendor, product.
bool ReadHidIds(const fs::path& uevent, unsigned& vendor, unsigned& product) {
  std::ifstream file(uevent);
  std::string line;
  constexpr std::string_view kKey = "HID_ID=";
  while (std::getline(file, line)) {
    if (!line.starts_with(kKey)) continue;
    unsigned bus = 0;
    return std::sscanf(line.c_str() + kKey.size(), "%x:%x:%x", &bus, &vendor, &product) == 3;
  }
  return false;
}

bool RuleInstalled() {
  std::error_code ec;
  for (const char* dir : {"/etc/udev/rules.d", "/lib/udev/rules.d", "/usr/lib/udev/rules.d"}) {
    if (fs::exists(fs::path(dir) / "70-qz670x.rules", ec)) return true;
  }
  return false;
}

}  // namespace

std::vector<UnopenableChip> FindUnopenableChips(std::span<const UsbIdentity> identities) {
  std::vector<UnopenableChip> chips;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/sys/class/hidraw", ec)) {
    const fs::path device = entry.path() / "device";
    unsigned vendor = 0;
    unsigned product = 0;
    if (!ReadHidIds(device / "uevent", vendor, product)) continue;
    const bool wanted = std::any_of(identities.begin(), identities.end(), [&](const UsbIdentity& id) {
      return id.vendor_id == vendor && id.product_id == product;
    });
    if (!wanted) continue;
    const std::string node = "/dev/" + entry.path().filename().string();
    const int fd = open(node.c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
      close(fd);
      continue;
    }
    if (errno == EACCES || errno == EPERM) chips.push_back({HidrawUsbPort(node), node});
  }
  std::sort(chips.begin(), chips.end(),
            [](const UnopenableChip& a, const UnopenableChip& b) { return a.node < b.node; });
  return chips;
}

std::string UnopenableChipHint(const UnopenableChip& chip) {
  std::string text = "the chip at " + (chip.port.empty() ? std::string("?") : chip.port) + " (" +
                     chip.node + ") is present but cannot be opened (permission denied); ";
  if (RuleInstalled()) {
    text += "its udev rule is installed: join group plugdev (sudo usermod -aG plugdev $USER, "
            "then log in again)";
  } else {
    text += "install the udev rule: sudo install -m 644 packaging/70-qz670x.rules "
            "/etc/udev/rules.d/ && sudo udevadm control --reload-rules && "
            "sudo udevadm trigger --subsystem-match=hidraw --action=change";
  }
  return text;
}

std::vector<std::string> UnopenableChipHints() {
  std::vector<std::string> hints;
  for (const UnopenableChip& chip : FindUnopenableChips(kFixedSearchIdentities)) {
    hints.push_back(UnopenableChipHint(chip));
  }
  return hints;
}

}  // namespace qz
