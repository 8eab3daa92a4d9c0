#include "sim/replay_chip.h"

#include <algorithm>
#include <cstring>

#include "base/clock.h"
#include "hid/hotplug.h"
#include "hid/trace.h"

namespace qz::sim {

namespace {

using Entry = recording::Recording::Entry;

class ReplayDevice final : public HidDevice {
 public:
  ReplayDevice(ReplayBackend& backend, const recording::Recording& recording)
      : backend_(backend),
        input_length_(recording.input_report_length),
        output_length_(recording.output_report_length),
        descriptor_(recording.report_descriptor) {}

  [[nodiscard]] std::uint16_t InputReportLength() const override { return input_length_; }
  [[nodiscard]] std::uint16_t OutputReportLength() const override { return output_length_; }
  [[nodiscard]] std::vector<std::uint8_t> ReportDescriptor() const override { return descriptor_; }
  int Write(std::span<const std::uint8_t> report) override { return backend_.Write(report); }
  int Read(std::span<std::uint8_t> report, std::chrono::milliseconds timeout) override {
    return backend_.Read(report, timeout);
  }

 private:
  ReplayBackend& backend_;
  const std::uint16_t input_length_;
  const std::uint16_t output_length_;
  const std::vector<std::uint8_t> descriptor_;
};

}  // namespace

ReplayBackend::ReplayBackend(recording::Recording recording, Clock& clock, std::string path,
                             std::string port)
    : recording_(std::move(recording)),
      clock_(clock),
      path_(std::move(path)),
      port_(std::move(port)),
      vendor_id_(recording_.vendor_id),
      product_id_(recording_.product_id) {}

void ReplayBackend::SetPlugListener(std::function<void(std::uint32_t)> listener) {
  std::lock_guard lock(mutex_);
  listener_ = std::move(listener);
}

void ReplayBackend::PlayEventsLocked() {
  for (; next_ < recording_.entries.size(); ++next_) {
    const Entry& entry = recording_.entries[next_];
    if (entry.kind == Entry::Kind::kArrival) {
      present_ = true;
      vendor_id_ = entry.vendor_id;
      product_id_ = entry.product_id;
      if (listener_) listener_(kDbtDeviceArrival);
    } else if (entry.kind == Entry::Kind::kRemoval) {
      present_ = false;
      if (listener_) listener_(kDbtDeviceRemoveComplete);
    } else if (entry.kind != Entry::Kind::kPower) {
      return;  // a report: the session has to come to it
    }
  }
}

std::vector<HidDeviceInfo> ReplayBackend::Enumerate() {
  std::lock_guard lock(mutex_);
  if (divergence_.empty()) PlayEventsLocked();
  if (!present_) return {};
  return {HidDeviceInfo(path_, vendor_id_, product_id_, port_)};
}

std::unique_ptr<HidDevice> ReplayBackend::Open(const std::string& path) {
  std::lock_guard lock(mutex_);
  if (path != path_ || !present_) return nullptr;
  return std::make_unique<ReplayDevice>(*this, recording_);
}

void ReplayBackend::DivergeLocked(const std::string& came) {
  const std::uint64_t index = reports_taken_ + 1;
  const std::string expected =
      next_ < recording_.entries.size() ? recording::DescribeReport(recording_.entries[next_])
                                        : "the end of the recording";
  divergence_ = "the session left its recording at report " + std::to_string(index) +
                ": expected " + expected + ", came " + came;
}

int ReplayBackend::Write(std::span<const std::uint8_t> report) {
  std::lock_guard lock(mutex_);
  if (!divergence_.empty()) return -1;
  PlayEventsLocked();
  const bool expected = next_ < recording_.entries.size() &&
                        recording_.entries[next_].kind == Entry::Kind::kOut &&
                        std::equal(report.begin(), report.end(),
                                   recording_.entries[next_].bytes.begin(),
                                   recording_.entries[next_].bytes.end());
  if (!expected) {
    DivergeLocked(FormatTraceLine("OUT", report));
    return -1;
  }
  const int result = recording_.entries[next_].result;
  ++next_;
  ++reports_taken_;
  PlayEventsLocked();  // what the chip did after this report (an erase re-plugs it) happens now
  return result;
}

int ReplayBackend::Read(std::span<std::uint8_t> report, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!divergence_.empty()) return 0;
  PlayEventsLocked();
  if (next_ >= recording_.entries.size() || recording_.entries[next_].kind != Entry::Kind::kIn) {
    DivergeLocked("a read");
    return 0;
  }
  const Entry& entry = recording_.entries[next_];
  ++next_;
  ++reports_taken_;
  PlayEventsLocked();
  if (entry.bytes.empty()) {
    lock.unlock();
    if (entry.result < 0) clock_.SleepFor(timeout);  // it waited that long for nothing
    return entry.result;
  }
  const std::size_t count = std::min(report.size(), entry.bytes.size());
  std::memcpy(report.data(), entry.bytes.data(), count);
  return static_cast<int>(count);
}

std::string ReplayBackend::Problem() const {
  std::lock_guard lock(mutex_);
  if (!divergence_.empty()) return divergence_;
  if (reports_taken_ < recording_.reports) {
    return "the session ended at report " + std::to_string(reports_taken_) + " of the " +
           std::to_string(recording_.reports) + " recorded";
  }
  return {};
}

}  // namespace qz::sim
