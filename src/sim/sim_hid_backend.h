#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hid/hid_backend.h"
#include "sim/virtual_chip.h"

namespace qz {
class Clock;
}

namespace qz::sim {

// Path under which the virtual chip is listed, and its USB port, unless told otherwise.
inline constexpr const char* kChipPath = "sim:0";
inline constexpr const char* kChipPort = "sim-1";

// How an extra, unrelated device on the simulated bus acts.
enum class ExtraDevice {
  kUnopenable,  // listed but every Open fails (a keyboard the system holds)
  kSilent,      // opens and takes reports but never answers
};

// The platform HID layer over one VirtualChip, plus any extra devices a test adds. The chip is
// listed under its current identity while it is present; a device opened from it stays bound
// to the plug generation it was opened in and dies when the chip re-plugs.
class SimHidBackend final : public HidBackend {
 public:
  // `clock` times the silent extra devices' reads. Neither is owned. The chip is listed at
  // `path` on USB port `port` (extra devices sit on no port).
  SimHidBackend(VirtualChip& chip, Clock& clock, std::string path = kChipPath,
                std::string port = kChipPort);

  [[nodiscard]] std::vector<HidDeviceInfo> Enumerate() override;
  [[nodiscard]] std::unique_ptr<HidDevice> Open(const std::string& path) override;

  // Adds a device to the listing, before the chip or after it (and after earlier extras on the
  // same side). Its path is "sim:extra:N".
  void AddExtraDevice(std::uint16_t vendor_id, std::uint16_t product_id, ExtraDevice behaviour,
                      bool before_chip = false);
  // Opens done so far (successful or not), for search-order tests.
  [[nodiscard]] std::vector<std::string> OpenAttempts() const;

  [[nodiscard]] VirtualChip& Chip() { return chip_; }

 private:
  struct Extra {
    HidDeviceInfo info;
    ExtraDevice behaviour;
    bool before_chip;
  };

  VirtualChip& chip_;
  Clock& clock_;
  const std::string path_;
  const std::string port_;
  mutable std::mutex mutex_;
  std::vector<Extra> extras_;
  std::vector<std::string> open_attempts_;
};

}  // namespace qz::sim
