#include "sim/virtual_chip.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <filesystem>
#include <fstream>

#include "base/file_path.h"
#include <iterator>
#include <system_error>

#include "base/clock.h"
#include "hid/command_reports.h"
#include "hid/hotplug.h"
#include "image/image_file.h"

namespace qz::sim {

namespace {

// EEPROM addresses wrap at the part's size, as the serial EEPROM's address counter does.
constexpr std::uint16_t kAddressMask = static_cast<std::uint16_t>(kEepromBytes - 1);
// Header the firmware-mode test looks at: "W", "T", "C", variant 0, "O".
constexpr std::array<std::uint8_t, 5> kFirmwareHeader = {0x57, 0x54, 0x43, 0x00, 0x4F};
constexpr std::string_view kHsDescriptorTag = "QZHsDTag";
constexpr std::size_t kTagLength = 8;
// idVendor and idProduct sit at bytes 8..11 of the device descriptor after the tag.
constexpr std::size_t kDescriptorVendorOffset = 8;
constexpr std::size_t kDescriptorIdBytes = 12;

// Request layout offsets.
constexpr std::size_t kOffSequence = 1;
constexpr std::size_t kOffCommand = 2;
constexpr std::size_t kOffEepromMode = 3;
constexpr std::size_t kOffEepromDevice = 4;
constexpr std::size_t kOffEepromAddress = 5;
constexpr std::size_t kOffEepromLength = 7;
constexpr std::size_t kOffEepromData = 8;
constexpr std::size_t kOffRegisterAddress = 3;
constexpr std::size_t kOffRegisterValue = 5;
constexpr std::uint8_t kEepromWriteMode = 0xA0;
constexpr std::uint8_t kEepromReadMode = 0xE4;
constexpr std::uint8_t kEepromDeviceByte = 0xA0;
constexpr std::uint8_t kEraseKey = 0xCD;
constexpr std::size_t kEepromWriteMax = 8;

// Reply layout offsets.
constexpr std::size_t kReplySequence = 7;
constexpr std::size_t kReplyValue = 8;
constexpr std::size_t kReplyData = 9;

// Erase reports it takes before the chip wipes its header and restarts from ROM.
constexpr int kErasesToReset = 2;

// Register contents after plug-in.
constexpr std::uint8_t kWriteModeRegisterInitial = 0x0D;  // bit 0 set: firmware may run
constexpr std::uint8_t kIdentityHigh = 0x67;
constexpr std::uint8_t kIdentityLowBase = 0xC0;

constexpr std::string_view kFaultUsage =
    "expected status=N, identity=HEX, no-reply@K, stale@K, corrupt@ADDR, no-reply-reg=HEX, "
    "absent, lie@ADDR, garbage@K, dup@K, unplug@K, replug-firmware or random=SEED";

// SplitMix64: a tiny generator whose output is the same everywhere, so a seed names one
// schedule (and one run of garbage bytes) on every platform.
class SplitMix {
 public:
  explicit SplitMix(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform enough in [0, bound) for schedules; bound > 0.
  std::uint32_t Below(std::uint32_t bound) { return static_cast<std::uint32_t>(Next() % bound); }

 private:
  std::uint64_t state_;
};

bool IsHexDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  });
}

std::optional<std::uint64_t> ParseDigits(std::string_view text, int base) {
  if (base == 16 ? !IsHexDigits(text)
                 : (text.empty() || !std::all_of(text.begin(), text.end(),
                                                  [](char c) { return c >= '0' && c <= '9'; }))) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

bool HasHexPrefix(std::string_view text) {
  return text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

// Decimal, or hexadecimal after 0x.
std::optional<std::uint64_t> ParseNumber(std::string_view text) {
  if (HasHexPrefix(text)) return ParseDigits(text.substr(2), 16);
  return ParseDigits(text, 10);
}

// Hexadecimal with or without 0x.
std::optional<std::uint64_t> ParseHex(std::string_view text) {
  if (HasHexPrefix(text)) text.remove_prefix(2);
  return ParseDigits(text, 16);
}

std::uint16_t ReadLe16(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

}  // namespace

const char* ModeName(ChipMode mode) { return mode == ChipMode::kFirmware ? "firmware" : "rom"; }

std::optional<Fault> ParseFault(std::string_view text, std::string* error) {
  const auto fail = [&](std::string_view why) -> std::optional<Fault> {
    if (error != nullptr) {
      *error = "bad fault \"" + std::string(text) + "\": " + std::string(why);
    }
    return std::nullopt;
  };
  if (text == "absent") return Fault{Fault::Kind::kAbsent, 0};
  if (text == "replug-firmware") return Fault{Fault::Kind::kReplugFirmware, 0};

  struct Form {
    std::string_view prefix;
    Fault::Kind kind;
    bool hex;             // HEX (0x optional) rather than decimal / 0x-hex
    std::uint64_t low;    // smallest value allowed
    std::uint64_t high;   // largest value allowed
    std::string_view what;
  };
  static constexpr std::array<Form, 11> kForms = {{
      {"no-reply-reg=", Fault::Kind::kNoReplyRegister, true, 0, 0xFFFF,
       "the register address must be hexadecimal, 0 to FFFF"},
      {"status=", Fault::Kind::kStatus, false, 0, 0xFF, "the status must be a number, 0 to 255"},
      {"identity=", Fault::Kind::kIdentity, true, 0, 0xFFFF,
       "the identity must be hexadecimal, 0 to FFFF"},
      {"no-reply@", Fault::Kind::kNoReply, false, 1, 0xFFFFFFFF,
       "the transfer number must be a number of 1 or more"},
      {"stale@", Fault::Kind::kStale, false, 1, 0xFFFFFFFF,
       "the transfer number must be a number of 1 or more"},
      {"corrupt@", Fault::Kind::kCorrupt, false, 0, kEepromBytes - 1,
       "the address must be a number, 0 to 32767"},
      {"lie@", Fault::Kind::kLie, false, 0, kEepromBytes - 1,
       "the address must be a number, 0 to 32767"},
      {"garbage@", Fault::Kind::kGarbage, false, 1, 0xFFFFFFFF,
       "the transfer number must be a number of 1 or more"},
      {"dup@", Fault::Kind::kDuplicate, false, 1, 0xFFFFFFFF,
       "the transfer number must be a number of 1 or more"},
      {"unplug@", Fault::Kind::kUnplug, false, 1, 0xFFFFFFFF,
       "the transfer number must be a number of 1 or more"},
      {"random=", Fault::Kind::kRandom, false, 0, 0xFFFFFFFF,
       "the seed must be a number, 0 to 4294967295"},
  }};
  for (const Form& form : kForms) {
    if (!text.starts_with(form.prefix)) continue;
    const std::string_view argument = text.substr(form.prefix.size());
    const std::optional<std::uint64_t> value = form.hex ? ParseHex(argument) : ParseNumber(argument);
    if (!value || *value < form.low || *value > form.high) return fail(form.what);
    return Fault{form.kind, static_cast<std::uint32_t>(*value)};
  }
  return fail(kFaultUsage);
}

std::string FaultText(const Fault& fault) {
  const std::string number = std::to_string(fault.value);
  char hex[8] = {};
  const auto [end, ec] = std::to_chars(hex, hex + sizeof hex, fault.value, 16);
  const std::string hex_text = ec == std::errc() ? std::string(hex, end) : number;
  switch (fault.kind) {
    case Fault::Kind::kStatus: return "status=" + number;
    case Fault::Kind::kIdentity: return "identity=" + hex_text;
    case Fault::Kind::kNoReply: return "no-reply@" + number;
    case Fault::Kind::kStale: return "stale@" + number;
    case Fault::Kind::kCorrupt: return "corrupt@" + number;
    case Fault::Kind::kNoReplyRegister: return "no-reply-reg=" + hex_text;
    case Fault::Kind::kAbsent: return "absent";
    case Fault::Kind::kLie: return "lie@" + number;
    case Fault::Kind::kGarbage: return "garbage@" + number;
    case Fault::Kind::kDuplicate: return "dup@" + number;
    case Fault::Kind::kUnplug: return "unplug@" + number;
    case Fault::Kind::kReplugFirmware: return "replug-firmware";
    case Fault::Kind::kRandom: return "random=" + number;
  }
  return {};
}

std::vector<Fault> RandomFaults(std::uint32_t seed, std::uint16_t job_bytes) {
  // A job clears and reads the header (2 transfers), writes the body in 8-byte chunks, reads it
  // all back (16 bytes, then 8 at a time), commits the header (4) and reads it (1).
  const std::uint32_t bytes = std::max<std::uint32_t>(16, job_bytes & ~7u);
  const std::uint32_t writes = (bytes - 8) / 8;
  const std::uint32_t reads = 1 + (bytes - 16) / 8;
  const std::uint32_t last = 2 + writes + reads + 5;
  const std::array<std::uint32_t, 10> kEdgeTransfers = {
      1, 2, 3, 4, 2 + writes, 3 + writes, 3 + writes + reads, 4 + writes + reads, last - 1, last};
  const std::uint32_t kTransfers = last + 8;  // a few beyond the job, which change nothing
  const std::uint32_t kJobBytes = bytes;
  const std::array<std::uint32_t, 6> kEdgeAddresses = {0, 4, 5, 7, 8, kJobBytes - 1};
  constexpr std::array<std::uint32_t, 5> kRegisters = {0x00B1, 0x00B9, 0x00B8, 0x0400, 0x005C};

  SplitMix random(seed);
  const auto transfer = [&] {
    return random.Below(4) == 0 ? kEdgeTransfers[random.Below(static_cast<std::uint32_t>(kEdgeTransfers.size()))]
                                : 1 + random.Below(kTransfers);
  };
  const auto address = [&] {
    return random.Below(4) == 0 ? kEdgeAddresses[random.Below(static_cast<std::uint32_t>(kEdgeAddresses.size()))]
                                : random.Below(kJobBytes);
  };
  std::vector<Fault> faults;
  const std::uint32_t count = 1 + random.Below(3);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t pick = random.Below(100);
    using K = Fault::Kind;
    if (pick < 14) {
      faults.push_back({K::kNoReply, transfer()});
    } else if (pick < 28) {
      faults.push_back({K::kStale, transfer()});
    } else if (pick < 42) {
      faults.push_back({K::kGarbage, transfer()});
    } else if (pick < 56) {
      faults.push_back({K::kDuplicate, transfer()});
    } else if (pick < 68) {
      faults.push_back({K::kUnplug, transfer()});
    } else if (pick < 78) {
      faults.push_back({K::kCorrupt, address()});
    } else if (pick < 88) {
      faults.push_back({K::kLie, address()});
    } else if (pick < 92) {
      faults.push_back({K::kReplugFirmware, 0});
    } else if (pick < 95) {
      faults.push_back({K::kNoReplyRegister, kRegisters[random.Below(static_cast<std::uint32_t>(kRegisters.size()))]});
    } else if (pick < 97) {
      faults.push_back({K::kStatus, 1 + random.Below(255)});
    } else if (pick < 99) {
      faults.push_back({K::kIdentity, random.Below(0x10000)});
    } else {
      faults.push_back({K::kAbsent, 0});
    }
  }
  return faults;
}

VirtualChip::VirtualChip(Clock& clock, ChipOptions options)
    : clock_(clock),
      options_(options),
      eeprom_(kEepromBytes, 0xFF),
      forced_mode_(options.forced_mode) {
  std::lock_guard lock(mutex_);
  PlugInLocked(false, std::nullopt);
}

// --- EEPROM ----------------------------------------------------------------------------

std::vector<std::uint8_t> VirtualChip::Eeprom() const {
  std::lock_guard lock(mutex_);
  return eeprom_;
}

void VirtualChip::SetEeprom(std::span<const std::uint8_t> bytes, std::size_t offset) {
  std::lock_guard lock(mutex_);
  if (offset >= eeprom_.size()) return;
  const std::size_t count = std::min(bytes.size(), eeprom_.size() - offset);
  std::copy_n(bytes.begin(), count, eeprom_.begin() + static_cast<std::ptrdiff_t>(offset));
}

bool VirtualChip::LoadEeprom(const std::string& path, std::string* error) {
  const auto fail = [&](const std::string& why) {
    if (error != nullptr) *error = path + ": " + why;
    return false;
  };
  std::error_code ec;
  if (!std::filesystem::exists(PathFromUtf8(path), ec)) return true;  // a new chip: all 0xFF
  std::ifstream file(PathFromUtf8(path), std::ios::binary);
  if (!file) return fail("cannot open the EEPROM file");
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
  if (file.bad()) return fail("cannot read the EEPROM file");
  if (bytes.size() != kEepromBytes) {
    return fail("an EEPROM file must hold exactly " + std::to_string(kEepromBytes) +
                " bytes, this one holds " + std::to_string(bytes.size()));
  }
  std::lock_guard lock(mutex_);
  eeprom_ = std::move(bytes);
  // The chip powers up with this content: its mode and identity follow it.
  if (present_) PlugInLocked(false, std::nullopt);
  return true;
}

bool VirtualChip::SaveEeprom(const std::string& path, std::string* error) const {
  const std::vector<std::uint8_t> bytes = Eeprom();
  AtomicFileWriter writer;
  if (!writer.Open(path.c_str()) || !writer.Write(bytes.data(), bytes.size()) ||
      !writer.Commit()) {
    if (error != nullptr) *error = path + ": cannot write the EEPROM file";
    return false;
  }
  return true;
}

// --- bus state -------------------------------------------------------------------------

bool VirtualChip::Present() const {
  std::lock_guard lock(mutex_);
  CatchUpLocked();
  return present_;
}

void VirtualChip::SetPresent(bool present) {
  std::lock_guard lock(mutex_);
  return_at_.reset();
  if (present == present_) return;
  if (present) {
    PlugInLocked(true, std::nullopt);
  } else {
    UnplugLocked(true);
  }
}

bool VirtualChip::AwaitingReplug() const {
  std::lock_guard lock(mutex_);
  return erased_until_replug_ && present_;
}

void VirtualChip::Replug() {
  std::lock_guard lock(mutex_);
  return_at_.reset();
  if (present_) UnplugLocked(true);
  PlugInLocked(true, std::nullopt);
}

void VirtualChip::ForceMode(std::optional<ChipMode> mode) {
  std::lock_guard lock(mutex_);
  forced_mode_ = mode;
}

ChipMode VirtualChip::Mode() const {
  std::lock_guard lock(mutex_);
  CatchUpLocked();
  return mode_;
}

std::uint16_t VirtualChip::VendorId() const {
  std::lock_guard lock(mutex_);
  CatchUpLocked();
  return vendor_id_;
}

std::uint16_t VirtualChip::ProductId() const {
  std::lock_guard lock(mutex_);
  CatchUpLocked();
  return product_id_;
}

std::uint64_t VirtualChip::Generation() const {
  std::lock_guard lock(mutex_);
  CatchUpLocked();
  return generation_;
}

std::uint16_t VirtualChip::InputReportLength() const { return options_.input_report_length; }
std::uint16_t VirtualChip::OutputReportLength() const { return options_.output_report_length; }

void VirtualChip::SetPlugListener(PlugListener listener) {
  std::lock_guard lock(mutex_);
  listener_ = std::move(listener);
}

void VirtualChip::PlugInLocked(bool notify, std::optional<ChipMode> mode) {
  present_ = true;
  ++generation_;
  queues_.clear();
  erases_this_plug_ = 0;
  if (!mode && erased_until_replug_) {
    mode = HasFaultLocked(Fault::Kind::kReplugFirmware, 0) ? ChipMode::kFirmware : ChipMode::kRom;
  }
  erased_until_replug_ = false;
  // power-on register state
  registers_.clear();
  registers_[kRegWriteMode] = kWriteModeRegisterInitial;
  registers_[kRegModePreparation] = 0x00;

  mode_ = mode ? *mode : (forced_mode_ ? *forced_mode_ : ModeFromEepromLocked());
  if (mode_ == ChipMode::kRom) {
    vendor_id_ = kChipVendorId;
    product_id_ = kRomProductId;
  } else {
    product_id_ = FirmwareProductIdLocked(&vendor_id_);
  }
  if (notify && listener_) listener_(kDbtDeviceArrival);
}

void VirtualChip::CatchUpLocked() const {
  if (!return_at_ || clock_.Now() < *return_at_) return;
  if (HasFaultLocked(Fault::Kind::kAbsent, 0)) return;  // stays away while "absent" holds
  // The return is due: whoever looks first sees the chip back, with its arrival event.
  auto& self = const_cast<VirtualChip&>(*this);
  self.return_at_.reset();
  if (!present_) self.PlugInLocked(true, return_mode_);
}

void VirtualChip::UnplugLocked(bool notify) {
  present_ = false;
  queues_.clear();  // every open handle dies
  if (notify && listener_) listener_(kDbtDeviceRemoveComplete);
}

ChipMode VirtualChip::ModeFromEepromLocked() const {
  return std::equal(kFirmwareHeader.begin(), kFirmwareHeader.end(), eeprom_.begin())
             ? ChipMode::kFirmware
             : ChipMode::kRom;
}

std::uint16_t VirtualChip::FirmwareProductIdLocked(std::uint16_t* vendor_id) const {
  const auto tag = std::search(eeprom_.begin(), eeprom_.end(), kHsDescriptorTag.begin(),
                               kHsDescriptorTag.end(), [](std::uint8_t byte, char c) {
                                 return byte == static_cast<std::uint8_t>(c);
                               });
  const std::size_t block = static_cast<std::size_t>(tag - eeprom_.begin()) + kTagLength;
  if (tag == eeprom_.end() || block + kDescriptorIdBytes > eeprom_.size()) {
    *vendor_id = kChipVendorId;
    return kDefaultFirmwareProductId;
  }
  *vendor_id = ReadLe16(eeprom_, block + kDescriptorVendorOffset);
  return ReadLe16(eeprom_, block + kDescriptorVendorOffset + 2);
}

// --- faults and knobs ------------------------------------------------------------------

void VirtualChip::AddFault(const Fault& fault) {
  if (fault.kind == Fault::Kind::kRandom) {
    for (const Fault& drawn : RandomFaults(fault.value)) AddFault(drawn);
    return;
  }
  std::lock_guard lock(mutex_);
  faults_.push_back(fault);
  if (fault.kind == Fault::Kind::kAbsent && present_) UnplugLocked(true);
}

bool VirtualChip::AddFault(std::string_view text, std::string* error) {
  const std::optional<Fault> fault = ParseFault(text, error);
  if (!fault) return false;
  AddFault(*fault);
  return true;
}

void VirtualChip::ClearFaults() {
  std::lock_guard lock(mutex_);
  faults_.clear();
}

bool VirtualChip::HasFaultLocked(Fault::Kind kind, std::uint32_t value) const {
  return std::any_of(faults_.begin(), faults_.end(),
                     [&](const Fault& f) { return f.kind == kind && f.value == value; });
}

std::optional<std::uint32_t> VirtualChip::FaultValueLocked(Fault::Kind kind) const {
  // the latest fault of a kind wins
  for (auto it = faults_.rbegin(); it != faults_.rend(); ++it) {
    if (it->kind == kind) return it->value;
  }
  return std::nullopt;
}

std::uint8_t VirtualChip::Register(std::uint16_t address) const {
  std::lock_guard lock(mutex_);
  return RegisterLocked(address);
}

void VirtualChip::SetRegister(std::uint16_t address, std::uint8_t value) {
  std::lock_guard lock(mutex_);
  registers_[address] = value;
}

std::uint8_t VirtualChip::RegisterLocked(std::uint16_t address) const {
  switch (address) {
    case kRegStatus:
      return static_cast<std::uint8_t>(FaultValueLocked(Fault::Kind::kStatus).value_or(0));
    case kRegIdentityHigh:
      if (auto identity = FaultValueLocked(Fault::Kind::kIdentity)) {
        return static_cast<std::uint8_t>(*identity >> 8);
      }
      return kIdentityHigh;
    case kRegIdentityLow:
      if (auto identity = FaultValueLocked(Fault::Kind::kIdentity)) {
        return static_cast<std::uint8_t>(*identity & 0xFF);
      }
      return static_cast<std::uint8_t>(kIdentityLowBase | (options_.revision & 0x0F));
    default: {
      const auto it = registers_.find(address);
      return it == registers_.end() ? 0 : it->second;
    }
  }
}

std::uint64_t VirtualChip::EepromTransfers() const {
  std::lock_guard lock(mutex_);
  return eeprom_transfers_;
}

std::uint64_t VirtualChip::EraseReports() const {
  std::lock_guard lock(mutex_);
  return erase_reports_;
}

void VirtualChip::SetRecordReports(bool record) {
  std::lock_guard lock(mutex_);
  record_reports_ = record;
}

std::vector<std::vector<std::uint8_t>> VirtualChip::WrittenReports() const {
  std::lock_guard lock(mutex_);
  return written_reports_;
}

// --- device I/O ------------------------------------------------------------------------

std::optional<VirtualChip::HandleId> VirtualChip::OpenHandle() {
  std::lock_guard lock(mutex_);
  CatchUpLocked();
  if (!present_) return std::nullopt;
  const HandleId handle = next_handle_++;
  queues_[handle];
  return handle;
}

void VirtualChip::CloseHandle(HandleId handle) {
  std::lock_guard lock(mutex_);
  queues_.erase(handle);
}

int VirtualChip::Write(HandleId handle, std::span<const std::uint8_t> report) {
  std::lock_guard lock(mutex_);
  CatchUpLocked();
  if (!queues_.contains(handle) || report.empty()) return -1;
  // The chip sees exactly one output report: longer buffers are cut, shorter ones zero-filled.
  const std::size_t taken = std::min<std::size_t>(report.size(), options_.output_report_length);
  std::vector<std::uint8_t> request(options_.output_report_length, 0);
  std::copy_n(report.begin(), taken, request.begin());
  if (record_reports_) written_reports_.push_back(request);
  HandleReportLocked(request);
  return static_cast<int>(taken);
}

int VirtualChip::Read(HandleId handle, std::span<std::uint8_t> report,
                      std::chrono::milliseconds timeout) {
  {
    std::lock_guard lock(mutex_);
    CatchUpLocked();
    const auto queue = queues_.find(handle);
    if (queue == queues_.end()) return 0;  // gone with the last re-plug, or closed
    if (!queue->second.empty()) {
      const std::vector<std::uint8_t> reply = std::move(queue->second.front());
      queue->second.pop_front();
      const std::size_t count = std::min(report.size(), reply.size());
      std::copy_n(reply.begin(), count, report.begin());
      return static_cast<int>(count);
    }
  }
  // Nothing queued: replies are made when requests are written, so none can come any more.
  // Sleep outside the lock so that other threads keep the chip.
  clock_.SleepFor(std::chrono::duration_cast<Clock::Duration>(timeout));
  return -1;
}

// --- request decoding ------------------------------------------------------------------

void VirtualChip::HandleReportLocked(std::span<const std::uint8_t> request) {
  if (request.size() <= kOffCommand || request[0] != 0) return;  // report ID 0 only
  switch (request[kOffCommand]) {
    case kCmdEepromWrite:
    case kCmdEepromRead:
      HandleEepromLocked(request);
      break;
    case kCmdRegisterWrite:
    case kCmdRegisterRead:
      HandleRegisterLocked(request);
      break;
    case kCmdErase:
      if (request.size() > 4 && request[3] == kEraseKey && request[4] == 0x00) HandleEraseLocked();
      break;
    default:
      break;  // not a command of this chip: ignored
  }
}

void VirtualChip::HandleEepromLocked(std::span<const std::uint8_t> request) {
  if (request.size() <= kOffEepromLength) return;
  const bool write = request[kOffCommand] == kCmdEepromWrite;
  const std::uint8_t mode = request[kOffEepromMode];
  if (mode != (write ? kEepromWriteMode : kEepromReadMode)) return;
  if (request[kOffEepromDevice] != kEepromDeviceByte) return;
  const std::size_t length = request[kOffEepromLength];
  if (length == 0) return;
  if (write && (length > kEepromWriteMax || kOffEepromData + length > request.size())) return;
  if (!write && kReplyData + length > options_.input_report_length) return;  // reply can't hold it

  const std::uint64_t number = ++eeprom_transfers_;
  if (HasFaultLocked(Fault::Kind::kNoReply, static_cast<std::uint32_t>(number))) return;  // lost
  if (HasFaultLocked(Fault::Kind::kUnplug, static_cast<std::uint32_t>(number))) {
    // off the bus before the request is applied; back after the pause, in the same mode
    return_at_ = clock_.Now() + std::chrono::duration_cast<Clock::Duration>(kUnplugPause);
    return_mode_ = mode_;
    UnplugLocked(true);
    return;
  }

  const std::uint8_t sequence = request[kOffSequence];
  const auto address = static_cast<std::uint16_t>((request[kOffEepromAddress] << 8) |
                                                  request[kOffEepromAddress + 1]);
  std::vector<std::uint8_t> data;
  if (write) {
    for (std::size_t i = 0; i < length; ++i) {
      const auto at = static_cast<std::uint16_t>((address + i) & kAddressMask);
      std::uint8_t value = request[kOffEepromData + i];
      if (HasFaultLocked(Fault::Kind::kCorrupt, at)) value ^= 0x01;
      if (HasFaultLocked(Fault::Kind::kLie, at)) continue;  // acknowledged, never stored
      eeprom_[at] = value;
    }
  } else {
    for (std::size_t i = 0; i < length; ++i) {
      data.push_back(eeprom_[(address + i) & kAddressMask]);
    }
  }
  if (HasFaultLocked(Fault::Kind::kStale, static_cast<std::uint32_t>(number))) {
    // a late answer to the request before, with other data: only the sequence byte tells
    std::vector<std::uint8_t> stale = data;
    for (std::uint8_t& byte : stale) byte = static_cast<std::uint8_t>(~byte);
    QueueReplyLocked(static_cast<std::uint8_t>(sequence - 1), static_cast<std::uint8_t>(length),
                     stale);
  }
  if (HasFaultLocked(Fault::Kind::kGarbage, static_cast<std::uint32_t>(number))) {
    // noise instead of the reply, the same noise for the same transfer number
    SplitMix random(number);
    std::vector<std::uint8_t> noise(options_.input_report_length);
    for (std::uint8_t& byte : noise) byte = static_cast<std::uint8_t>(random.Next());
    QueueInputLocked(noise);
    return;
  }
  QueueReplyLocked(sequence, static_cast<std::uint8_t>(length), data);
  if (HasFaultLocked(Fault::Kind::kDuplicate, static_cast<std::uint32_t>(number))) {
    QueueReplyLocked(sequence, static_cast<std::uint8_t>(length), data);
  }
}

void VirtualChip::HandleRegisterLocked(std::span<const std::uint8_t> request) {
  if (request.size() <= kOffRegisterValue) return;
  const std::uint8_t sequence = request[kOffSequence];
  const auto address = static_cast<std::uint16_t>((request[kOffRegisterAddress] << 8) |
                                                  request[kOffRegisterAddress + 1]);
  if (request[kOffCommand] == kCmdRegisterRead) {
    if (HasFaultLocked(Fault::Kind::kNoReplyRegister, address)) return;
    QueueReplyLocked(sequence, RegisterLocked(address), {});
    return;
  }
  const std::uint8_t value = request[kOffRegisterValue];
  // Only the two control registers keep what is written; the rest take writes and read 0.
  if (address == kRegWriteMode || address == kRegModePreparation) registers_[address] = value;
  QueueReplyLocked(sequence, value, {});
}

void VirtualChip::HandleEraseLocked() {
  ++erase_reports_;
  if (++erases_this_plug_ < kErasesToReset) return;
  // The header goes, so the firmware can no longer start: the chip drops off the bus and comes
  // back from its ROM.
  std::fill_n(eeprom_.begin(), 8, std::uint8_t{0xFF});
  if (!options_.replug_after_erase) {
    erased_until_replug_ = true;  // the next plug-in comes from the ROM
    return;
  }
  UnplugLocked(true);
  PlugInLocked(true, HasFaultLocked(Fault::Kind::kReplugFirmware, 0) ? ChipMode::kFirmware
                                                                      : ChipMode::kRom);
}

void VirtualChip::QueueReplyLocked(std::uint8_t sequence, std::uint8_t value,
                                   std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> reply(options_.input_report_length, 0);
  if (reply.size() > kReplySequence) reply[kReplySequence] = sequence;
  if (reply.size() > kReplyValue) reply[kReplyValue] = value;
  for (std::size_t i = 0; i < data.size() && kReplyData + i < reply.size(); ++i) {
    reply[kReplyData + i] = data[i];
  }
  QueueInputLocked(reply);
}

void VirtualChip::QueueInputLocked(const std::vector<std::uint8_t>& reply) {
  for (auto& [handle, queue] : queues_) {
    if (queue.size() >= kInputQueueLimit) queue.pop_front();
    queue.push_back(reply);
  }
}

}  // namespace qz::sim
