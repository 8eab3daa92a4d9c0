#include "hid/command_reports.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <initializer_list>

#include "base/clock.h"

namespace qz {

namespace {

// Pause after an acknowledged register write, so the chip has taken the value before the next
// request.
constexpr std::chrono::milliseconds kRegisterWritePause{10};

// Keeps the link's buffers at least 64 bytes and at least one report long. OpenHidDevice already
// sizes them; this only matters for a link whose buffers were moved away, so in normal use it
// allocates nothing.
void PrepareBuffers(HidLink& link) {
  const std::size_t request = std::max<std::size_t>(kReportBufferSize, link.OutputReportLength);
  const std::size_t reply = std::max<std::size_t>(kReportBufferSize, link.InputReportLength);
  if (link.request.size() < request) link.request.resize(request);
  if (link.reply.size() < reply) link.reply.resize(reply);
}

// Zero-fills the request buffer and sets report ID, sequence and command bytes.
std::uint8_t* BeginRequest(HidLink& link, std::uint8_t sequence, std::uint8_t command) {
  PrepareBuffers(link);
  std::fill(link.request.begin(), link.request.end(), std::uint8_t{0});
  std::uint8_t* request = link.request.data();
  request[kOffReportId] = 0;
  request[kOffSequence] = sequence;
  request[kOffCommand] = command;
  return request;
}

void PutAddress(std::uint8_t* at, std::uint16_t address) {
  at[0] = static_cast<std::uint8_t>(address >> 8);
  at[1] = static_cast<std::uint8_t>(address & 0xFF);
}

bool CanWrite(const HidLink& link) { return link.IsOpen() && link.OutputReportLength != 0; }

// Writes the request (when the link can take it; the outcome is not examined, a lost request
// shows up as the time-out) and reads input reports until `accept` takes one whose sequence byte
// matches, at most `passes` reports. A time-out ends the exchange at once.
template <typename Accept>
bool Exchange(HidLink& link, std::uint8_t sequence, int passes, int min_reply, Accept accept) {
  if (CanWrite(link)) static_cast<void>(WriteOutputReport(link, link.request.data()));
  for (int pass = 0; pass < passes; ++pass) {
    link.reply[kOffReportId] = 0;
    const int count = ReadInputReport(link, link.reply.data());
    if (count == -1) return false;
    if (count < min_reply || link.reply[kOffReplySequence] != sequence) continue;
    if (accept(count)) return true;
  }
  return false;
}

HResult SendFixedReport(HidLink& link, std::initializer_list<std::uint8_t> bytes) {
  PrepareBuffers(link);
  std::fill(link.request.begin(), link.request.end(), std::uint8_t{0});
  std::copy(bytes.begin(), bytes.end(), link.request.begin());
  if (!CanWrite(link)) return E_FAIL;
  return WriteOutputReport(link, link.request.data()) > 0 ? S_OK : E_FAIL;
}

// Pauses on the link's clock (real time when the link has none).
void Pause(HidLink& link, Clock::Duration duration) {
  if (link.clock != nullptr) {
    link.clock->SleepFor(duration);
    return;
  }
  static SystemClock system_clock;
  system_clock.SleepFor(duration);
}

void PauseAfterRegisterWrite(HidLink& link) { Pause(link, kRegisterWritePause); }

// One read of an access-sequence register, its value and result ignored.
void AccessRead(HidLink& link, std::uint8_t& sequence, std::uint16_t address) {
  std::uint8_t ignored = 0;
  AdvanceRegisterSequence(sequence);
  static_cast<void>(RegisterTransfer(link, &ignored, true, address, sequence));
}

}  // namespace

void AdvanceEepromSequence(std::uint8_t& sequence) {
  sequence = sequence < 252 ? static_cast<std::uint8_t>(sequence + 1) : std::uint8_t{1};
}

void AdvanceRegisterSequence(std::uint8_t& sequence) {
  sequence = sequence < 240 ? static_cast<std::uint8_t>(sequence + 1) : std::uint8_t{1};
}

bool EepromTransfer(HidLink& link, std::uint16_t address, bool read, std::uint8_t count,
                    std::uint8_t* buffer, std::uint8_t sequence) {
  // A longer write does not fit the request layout; no data to write or no room for data read
  // is a caller fault. Nothing is sent for either.
  if (!read && count > kMaxEepromWrite) return false;
  if (buffer == nullptr && count != 0) return false;

  std::uint8_t* request = BeginRequest(link, sequence, read ? kCmdEepromRead : kCmdEepromWrite);
  request[kOffEepromMode] = read ? kEepromModeRead : kEepromModeWrite;
  request[kOffEepromDevice] = kEepromDevice;
  PutAddress(request + kOffEepromAddress, address);
  request[kOffEepromLength] = count;
  if (!read && count != 0) std::memcpy(request + kOffEepromData, buffer, count);

  return Exchange(link, sequence, kEepromPassLimit, kEepromMinReply, [&](int received) {
    if (!read) return true;
    const std::uint8_t* reply = link.reply.data();
    // The reply must say it carries `count` bytes and really hold them: a shorter report would
    // leave stale bytes of an earlier reply in the buffer.
    if (reply[kOffReplyValue] != count) return false;
    if (static_cast<std::size_t>(received) < kOffReplyData + count) return false;
    if (count != 0) std::memcpy(buffer, reply + kOffReplyData, count);
    return true;
  });
}

bool RegisterTransfer(HidLink& link, std::uint8_t* value, bool read, std::uint16_t address,
                      std::uint8_t sequence) {
  if (value == nullptr) return false;
  if (read) *value = 0;

  std::uint8_t* request =
      BeginRequest(link, sequence, read ? kCmdRegisterRead : kCmdRegisterWrite);
  PutAddress(request + kOffRegisterAddress, address);
  request[kOffRegisterValue] = read ? std::uint8_t{0} : *value;

  return Exchange(link, sequence, kRegisterPassLimit, kRegisterMinReply, [&](int received) {
    if (read) {
      // The value byte must be part of the report, not left over from an earlier one.
      if (static_cast<std::size_t>(received) <= kOffReplyValue) return false;
      *value = link.reply[kOffReplyValue];
      return true;
    }
    PauseAfterRegisterWrite(link);
    return true;
  });
}

HResult SendEraseCommand(HidLink& link) {
  return SendFixedReport(link, {0x00, kFixedReportSequence, kCmdErase, 0xCD, 0x00});
}

HResult SendModePreparation(HidLink& link) {
  // A register write of 0x0C to register 0x00C4.
  return SendFixedReport(link, {0x00, kFixedReportSequence, kCmdRegisterWrite,
                                static_cast<std::uint8_t>(kRegModePreparation >> 8),
                                static_cast<std::uint8_t>(kRegModePreparation & 0xFF), 0x0C});
}

HResult ReadChipStatus(HidLink& link, std::uint8_t& sequence, std::uint8_t* status) {
  if (status == nullptr) return E_FAIL;
  for (const std::uint16_t address : kStatusAccessSequence) AccessRead(link, sequence, address);

  std::uint8_t value = 0;
  AdvanceRegisterSequence(sequence);
  const bool read = RegisterTransfer(link, &value, true, kRegStatus, sequence);
  AdvanceRegisterSequence(sequence);
  if (!read) return E_FAIL;
  *status = value;
  return S_OK;
}

HResult ReadChipIdentity(HidLink& link, std::uint8_t& sequence, std::uint32_t* identity) {
  if (identity == nullptr) return E_FAIL;
  for (const std::uint16_t address : kIdentityAccessSequence) AccessRead(link, sequence, address);

  std::uint8_t high = 0;
  AdvanceRegisterSequence(sequence);
  const bool high_read = RegisterTransfer(link, &high, true, kRegIdentityHigh, sequence);
  AdvanceRegisterSequence(sequence);
  if (!high_read) return E_FAIL;

  // No advance after this read: the next request of the job carries the same sequence value.
  std::uint8_t low = 0;
  if (!RegisterTransfer(link, &low, true, kRegIdentityLow, sequence)) return E_FAIL;
  *identity = static_cast<std::uint32_t>(high) << 8 | low;
  return S_OK;
}

bool PacedEepromTransfer(HidLink& link, std::uint8_t& sequence, std::uint16_t address,
                         bool read, std::uint8_t count, std::uint8_t* buffer) {
  if (!EepromTransfer(link, address, read, count, buffer, sequence)) return false;
  AdvanceEepromSequence(sequence);
  Pause(link, kEepromTransferPause);
  return true;
}

}  // namespace qz
