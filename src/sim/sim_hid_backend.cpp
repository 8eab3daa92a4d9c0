#include "sim/sim_hid_backend.h"

#include <algorithm>
#include <array>

#include "base/clock.h"

namespace qz::sim {

namespace {

// A device opened on the virtual chip: dies with the chip's plug generation.
class ChipDevice final : public HidDevice {
 public:
  ChipDevice(VirtualChip& chip, VirtualChip::HandleId handle) : chip_(chip), handle_(handle) {}
  ~ChipDevice() override { chip_.CloseHandle(handle_); }
  ChipDevice(const ChipDevice&) = delete;
  ChipDevice& operator=(const ChipDevice&) = delete;

  [[nodiscard]] std::uint16_t InputReportLength() const override {
    return chip_.InputReportLength();
  }
  [[nodiscard]] std::uint16_t OutputReportLength() const override {
    return chip_.OutputReportLength();
  }
  // A vendor-defined interface of one unnumbered input and one output report of the chip's
  // lengths (the report-ID byte not counted on the wire).
  [[nodiscard]] std::vector<std::uint8_t> ReportDescriptor() const override {
    const auto count = [](std::uint16_t length) {
      const auto bytes = static_cast<std::uint16_t>(length > 0 ? length - 1 : 0);
      return std::array<std::uint8_t, 3>{0x96, static_cast<std::uint8_t>(bytes & 0xFF),
                                         static_cast<std::uint8_t>(bytes >> 8)};
    };
    const std::array<std::uint8_t, 3> in = count(chip_.InputReportLength());
    const std::array<std::uint8_t, 3> out = count(chip_.OutputReportLength());
    return {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
            in[0], in[1], in[2], 0x09, 0x01, 0x81, 0x02,
            out[0], out[1], out[2], 0x09, 0x01, 0x91, 0x02, 0xC0};
  }
  int Write(std::span<const std::uint8_t> report) override { return chip_.Write(handle_, report); }
  int Read(std::span<std::uint8_t> report, std::chrono::milliseconds timeout) override {
    return chip_.Read(handle_, report, timeout);
  }

 private:
  VirtualChip& chip_;
  VirtualChip::HandleId handle_;
};

// An unrelated device that takes reports and never answers.
class SilentDevice final : public HidDevice {
 public:
  explicit SilentDevice(Clock& clock) : clock_(clock) {}
  [[nodiscard]] std::uint16_t InputReportLength() const override { return kDefaultReportLength; }
  [[nodiscard]] std::uint16_t OutputReportLength() const override {
    return kDefaultReportLength;
  }
  int Write(std::span<const std::uint8_t> report) override {
    return report.empty() ? -1 : static_cast<int>(std::min<std::size_t>(report.size(),
                                                                         kDefaultReportLength));
  }
  int Read(std::span<std::uint8_t>, std::chrono::milliseconds timeout) override {
    clock_.SleepFor(std::chrono::duration_cast<Clock::Duration>(timeout));
    return -1;
  }

 private:
  Clock& clock_;
};

}  // namespace

SimHidBackend::SimHidBackend(VirtualChip& chip, Clock& clock, std::string path, std::string port)
    : chip_(chip), clock_(clock), path_(std::move(path)), port_(std::move(port)) {}

std::vector<HidDeviceInfo> SimHidBackend::Enumerate() {
  std::vector<Extra> extras;
  {
    std::lock_guard lock(mutex_);
    extras = extras_;
  }
  std::vector<HidDeviceInfo> devices;
  for (const Extra& extra : extras) {
    if (extra.before_chip) devices.push_back(extra.info);
  }
  if (chip_.Present()) {
    devices.push_back(
        HidDeviceInfo{path_, chip_.VendorId(), chip_.ProductId(), port_, std::string()});
  }
  for (const Extra& extra : extras) {
    if (!extra.before_chip) devices.push_back(extra.info);
  }
  return devices;
}

std::unique_ptr<HidDevice> SimHidBackend::Open(const std::string& path) {
  std::optional<ExtraDevice> extra_behaviour;
  {
    std::lock_guard lock(mutex_);
    open_attempts_.push_back(path);
    const auto extra = std::find_if(extras_.begin(), extras_.end(),
                                    [&](const Extra& e) { return e.info.path == path; });
    if (extra != extras_.end()) extra_behaviour = extra->behaviour;
  }
  if (extra_behaviour) {
    if (*extra_behaviour == ExtraDevice::kUnopenable) return nullptr;
    return std::make_unique<SilentDevice>(clock_);
  }
  if (path != path_) return nullptr;
  const std::optional<VirtualChip::HandleId> handle = chip_.OpenHandle();
  if (!handle) return nullptr;
  return std::make_unique<ChipDevice>(chip_, *handle);
}

void SimHidBackend::AddExtraDevice(std::uint16_t vendor_id, std::uint16_t product_id,
                                   ExtraDevice behaviour, bool before_chip) {
  std::lock_guard lock(mutex_);
  HidDeviceInfo info{"sim:extra:" + std::to_string(extras_.size()), vendor_id, product_id};
  extras_.push_back(Extra{std::move(info), behaviour, before_chip});
}

std::vector<std::string> SimHidBackend::OpenAttempts() const {
  std::lock_guard lock(mutex_);
  return open_attempts_;
}

}  // namespace qz::sim
