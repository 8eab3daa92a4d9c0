#pragma once

#include <array>
#include <cstddef>
#include <chrono>
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

// Request layout: byte offsets from the report-ID byte.
inline constexpr std::size_t kOffReportId = 0;
inline constexpr std::size_t kOffSequence = 1;
inline constexpr std::size_t kOffCommand = 2;
// EEPROM request.
inline constexpr std::size_t kOffEepromMode = 3;      // 0xA0 write, 0xE4 read
inline constexpr std::size_t kOffEepromDevice = 4;    // 0xA0 both directions
inline constexpr std::size_t kOffEepromAddress = 5;   // high byte, then low byte
inline constexpr std::size_t kOffEepromLength = 7;    // data bytes to write or to read
inline constexpr std::size_t kOffEepromData = 8;      // write data, at most 8 bytes
inline constexpr std::uint8_t kEepromModeWrite = 0xA0;
inline constexpr std::uint8_t kEepromModeRead = 0xE4;
inline constexpr std::uint8_t kEepromDevice = 0xA0;
inline constexpr std::uint8_t kMaxEepromWrite = 8;
// Register request.
inline constexpr std::size_t kOffRegisterAddress = 3;  // high byte, then low byte
inline constexpr std::size_t kOffRegisterValue = 5;    // write: the value; read: 0
// Reply layout.
inline constexpr std::size_t kOffReplySequence = 7;   // sequence byte of the answered request
inline constexpr std::size_t kOffReplyValue = 8;      // EEPROM: length; register: value
inline constexpr std::size_t kOffReplyData = 9;       // EEPROM read data

// Registers.
inline constexpr std::uint16_t kRegStatus = 0x00B1;
inline constexpr std::uint16_t kRegIdentityHigh = 0x00B9;
inline constexpr std::uint16_t kRegIdentityLow = 0x00B8;
inline constexpr std::uint16_t kRegModePreparation = 0x00C4;
inline constexpr std::uint16_t kRegWriteMode = 0x0400;

// Registers read, in order, right before the status register and the identity registers.
inline constexpr std::array<std::uint16_t, 7> kStatusAccessSequence = {0x5C, 0x17, 0xE2, 0x4B,
                                                                       0x90, 0x36, 0x7D};
inline constexpr std::array<std::uint16_t, 7> kIdentityAccessSequence = {0x2F, 0xC8, 0x61, 0x0E,
                                                                         0x90, 0x36, 0xB4};

// Chip identity accepted by a job, compared under kChipIdentityMask.
inline constexpr std::uint32_t kChipIdentity = 0x67C0;
inline constexpr std::uint32_t kChipIdentityMask = 0xFFF0;

// Sequence rules: EEPROM transfers carry 1..252, register transfers 1..240.
void AdvanceEepromSequence(std::uint8_t& sequence);
void AdvanceRegisterSequence(std::uint8_t& sequence);

// Reads or writes `count` bytes of EEPROM at `address` (write: 1..8 bytes from `buffer`; read:
// into `buffer`). True when the chip acknowledged. The caller advances the sequence. A write of
// more than 8 bytes, or a null buffer with a nonzero count, is refused: false, nothing sent. A
// read reply is taken only when it holds all the bytes it claims; on failure `buffer` is left
// as it was.
[[nodiscard]] bool EepromTransfer(HidLink& link, std::uint16_t address, bool read,
                                  std::uint8_t count, std::uint8_t* buffer, std::uint8_t sequence);

// Pause after every acknowledged EEPROM transfer, before the next report (the chip's write
// cycle).
inline constexpr std::chrono::milliseconds kEepromTransferPause{3};

// One EEPROM transfer as every caller makes it: a single attempt with the current `sequence`;
// when the chip acknowledged, the sequence advances by the EEPROM rule and the caller's thread
// pauses kEepromTransferPause on link.clock. A failed transfer leaves `sequence` unchanged.
[[nodiscard]] bool PacedEepromTransfer(HidLink& link, std::uint8_t& sequence,
                                       std::uint16_t address, bool read, std::uint8_t count,
                                       std::uint8_t* buffer);

// Reads or writes one chip register. A read first sets *value to 0. Null `value`: false at once.
// An acknowledged write pauses 10 ms on link.clock before it returns.
[[nodiscard]] bool RegisterTransfer(HidLink& link, std::uint8_t* value, bool read,
                                    std::uint16_t address, std::uint8_t sequence);

// The two fixed reports, written without waiting for a reply. S_OK or E_FAIL.
[[nodiscard]] HResult SendEraseCommand(HidLink& link);
[[nodiscard]] HResult SendModePreparation(HidLink& link);

// Status and identity sequences; they advance `sequence` by the register rule. S_OK with the
// value stored, or E_FAIL with it unchanged (null pointer: nothing sent, sequence unchanged).
[[nodiscard]] HResult ReadChipStatus(HidLink& link, std::uint8_t& sequence, std::uint8_t* status);
[[nodiscard]] HResult ReadChipIdentity(HidLink& link, std::uint8_t& sequence,
                                       std::uint32_t* identity);

}  // namespace qz
