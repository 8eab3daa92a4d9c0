#pragma once

#include <array>
#include <cstdint>

namespace qz {

// A vendor/product pair under which the chip shows up on the bus.
struct UsbIdentity {
  std::uint16_t vendor_id;
  std::uint16_t product_id;
};

inline constexpr std::uint16_t kQzVendorId = 0x1D6C;
// Running its firmware: the default and the alternative product ID.
inline constexpr std::uint16_t kFirmwareProductId = 0x6841;
inline constexpr std::uint16_t kFirmwareProductIdAlt = 0x6800;
// In ROM mode (EEPROM writable).
inline constexpr std::uint16_t kRomProductId = 0x6706;
inline constexpr std::uint16_t kRomProductIdAlt = 0x6707;

// The fixed identities the device search tries after the operator's own target, in order.
inline constexpr std::array<UsbIdentity, 4> kFixedSearchIdentities = {{
    {kQzVendorId, kFirmwareProductId},
    {kQzVendorId, kFirmwareProductIdAlt},
    {kQzVendorId, kRomProductId},
    {kQzVendorId, kRomProductIdAlt},
}};

// The ROM-mode identities, in the order the probe tries them.
inline constexpr std::array<UsbIdentity, 2> kRomIdentities = {{
    {kQzVendorId, kRomProductId},
    {kQzVendorId, kRomProductIdAlt},
}};

}  // namespace qz
