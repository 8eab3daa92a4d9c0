#pragma once

#include <cstdint>

#include "base/result.h"
#include "hid/hid_link.h"

namespace qz {

// Command bytes (offset 2 of a request).
inline constexpr std::uint8_t kCmdEepromWrite = 0x11;
inline constexpr std::uint8_t kCmdEepromRead = 0x12;
inline constexpr std::uint8_t kCmdRegisterWrite = 0x21;
inline constexpr std::uint8_t kCmdRegisterRead = 0x22;
inline constexpr std::uint8_t kCmdErase = 0xAB;
// Sequence byte of the two fixed reports.
inline constexpr std::uint8_t kFixedReportSequence = 0xF5;
// Pass limits: input reports read at most while waiting for the matching reply.
inline constexpr int kEepromPassLimit = 300;
inline constexpr int kRegisterPassLimit = 1000;
// Shortest reply that is examined at all.
inline constexpr int kEepromMinReply = 10;
inline constexpr int kRegisterMinReply = 8;

// Registers.
inline constexpr std::uint16_t kRegStatus = 0x00B1;
inline constexpr std::uint16_t kRegIdentityHigh = 0x00B9;
inline constexpr std::uint16_t kRegIdentityLow = 0x00B8;
inline constexpr std::uint16_t kRegModePreparation = 0x00C4;
inline constexpr std::uint16_t kRegWriteMode = 0x0400;

// Chip identity accepted by a job, compared under kChipIdentityMask.
inline constexpr std::uint32_t kChipIdentity = 0x67C0;
inline constexpr std::uint32_t kChipIdentityMask = 0xFFF0;

// Sequence rules: EEPROM transfers carry 1..252, register transfers 1..240.
void AdvanceEepromSequence(std::uint8_t& sequence);
void AdvanceRegisterSequence(std::uint8_t& sequence);

// Reads or writes `count` bytes of EEPROM at `address` (write: 1..8 bytes from `buffer`; read:
// into `buffer`). True when the chip acknowledged. The caller advances the sequence.
[[nodiscard]] bool EepromTransfer(HidLink& link, std::uint16_t address, bool read,
                                  std::uint8_t count, std::uint8_t* buffer, std::uint8_t sequence);

// Reads or writes one chip register. A read first sets *value to 0. Null `value`: false at once.
[[nodiscard]] bool RegisterTransfer(HidLink& link, std::uint8_t* value, bool read,
                                    std::uint16_t address, std::uint8_t sequence);

// The two fixed reports, written without waiting for a reply. S_OK or E_FAIL.
[[nodiscard]] HResult SendEraseCommand(HidLink& link);
[[nodiscard]] HResult SendModePreparation(HidLink& link);

// Status and identity sequences; they advance `sequence` by the register rule.
[[nodiscard]] HResult ReadChipStatus(HidLink& link, std::uint8_t& sequence, std::uint8_t* status);
[[nodiscard]] HResult ReadChipIdentity(HidLink& link, std::uint8_t& sequence,
                                       std::uint32_t* identity);

}  // namespace qz
