#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/clock.h"
#include "hid/hid_backend.h"
#include "sim/sim_hid_backend.h"
#include "sim/virtual_chip.h"

namespace qz::sim::test {

using Bytes = std::vector<std::uint8_t>;

inline constexpr auto kTimeout = std::chrono::milliseconds(5000);

// Requests as the host lays them out, zero-padded to 64 bytes.
inline Bytes Request(std::initializer_list<std::uint8_t> head) {
  Bytes report(64, 0);
  std::copy(head.begin(), head.end(), report.begin());
  return report;
}

inline Bytes EepromWrite(std::uint8_t sequence, std::uint16_t address, const Bytes& data) {
  Bytes report = Request({0x00, sequence, 0x11, 0xA0, 0xA0, static_cast<std::uint8_t>(address >> 8),
                          static_cast<std::uint8_t>(address & 0xFF),
                          static_cast<std::uint8_t>(data.size())});
  std::copy(data.begin(), data.end(), report.begin() + 8);
  return report;
}

inline Bytes EepromRead(std::uint8_t sequence, std::uint16_t address, std::uint8_t length) {
  return Request({0x00, sequence, 0x12, 0xE4, 0xA0, static_cast<std::uint8_t>(address >> 8),
                  static_cast<std::uint8_t>(address & 0xFF), length});
}

inline Bytes RegisterRead(std::uint8_t sequence, std::uint16_t address) {
  return Request({0x00, sequence, 0x22, static_cast<std::uint8_t>(address >> 8),
                  static_cast<std::uint8_t>(address & 0xFF), 0x00});
}

inline Bytes RegisterWrite(std::uint8_t sequence, std::uint16_t address, std::uint8_t value) {
  return Request({0x00, sequence, 0x21, static_cast<std::uint8_t>(address >> 8),
                  static_cast<std::uint8_t>(address & 0xFF), value});
}

inline Bytes EraseCommand() { return Request({0x00, 0xF5, 0xAB, 0xCD, 0x00}); }
inline Bytes ModePreparation() { return Request({0x00, 0xF5, 0x21, 0x00, 0xC4, 0x0C}); }

// The reply the chip must give: 64 bytes, sequence at 7, value at 8, data from 9.
inline Bytes Reply(std::uint8_t sequence, std::uint8_t value, const Bytes& data = {}) {
  Bytes report(64, 0);
  report[7] = sequence;
  report[8] = value;
  std::copy(data.begin(), data.end(), report.begin() + 9);
  return report;
}

// A chip on a manual clock, its backend, and one open device.
struct Bench {
  explicit Bench(ChipOptions options = {}) : chip(clock, options), backend(chip, clock) {}

  std::unique_ptr<HidDevice> Open() { return backend.Open(kChipPath); }

  // Writes `request` and returns the next reply, or an empty vector on time-out.
  Bytes Exchange(HidDevice& device, const Bytes& request) {
    if (device.Write(request) <= 0) return {};
    return Next(device);
  }
  Bytes Next(HidDevice& device) {
    Bytes reply(device.InputReportLength(), 0xEE);
    const int count = device.Read(reply, kTimeout);
    if (count <= 0) return {};
    reply.resize(static_cast<std::size_t>(count));
    return reply;
  }

  ManualClock clock;
  VirtualChip chip;
  SimHidBackend backend;
};

// An EEPROM image whose header makes the chip start its firmware.
inline Bytes FirmwareEeprom() {
  Bytes eeprom(kEepromBytes, 0xFF);
  const Bytes header = {'W', 'T', 'C', 0x00, 'O', 0x01, 0x02, 0x03};
  std::copy(header.begin(), header.end(), eeprom.begin());
  return eeprom;
}

// Puts "QZHsDTag" at `at` followed by a device descriptor with `vendor_id`/`product_id`.
inline void PutHsDescriptor(Bytes& eeprom, std::size_t at, std::uint16_t vendor_id,
                            std::uint16_t product_id) {
  const char* tag = "QZHsDTag";
  for (std::size_t i = 0; i < 8 && at + i < eeprom.size(); ++i) {
    eeprom[at + i] = static_cast<std::uint8_t>(tag[i]);
  }
  const std::size_t block = at + 8;
  const Bytes descriptor = {0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40,
                            static_cast<std::uint8_t>(vendor_id & 0xFF),
                            static_cast<std::uint8_t>(vendor_id >> 8),
                            static_cast<std::uint8_t>(product_id & 0xFF),
                            static_cast<std::uint8_t>(product_id >> 8)};
  for (std::size_t i = 0; i < descriptor.size() && block + i < eeprom.size(); ++i) {
    eeprom[block + i] = descriptor[i];
  }
}

}  // namespace qz::sim::test
