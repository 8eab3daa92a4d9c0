#include "hid/trace.h"

#include <algorithm>
#include <utility>

namespace qz {

namespace {

class TracingDevice final : public HidDevice {
 public:
  TracingDevice(std::unique_ptr<HidDevice> inner, std::shared_ptr<TracingBackend::Sink> sink)
      : inner_(std::move(inner)), sink_(std::move(sink)) {}

  [[nodiscard]] std::uint16_t InputReportLength() const override {
    return inner_->InputReportLength();
  }
  [[nodiscard]] std::uint16_t OutputReportLength() const override {
    return inner_->OutputReportLength();
  }

  int Write(std::span<const std::uint8_t> report) override {
    const int written = inner_->Write(report);
    if (written > 0) {
      sink_->Line("OUT", report.first(std::min(report.size(), static_cast<std::size_t>(written))));
    }
    return written;
  }

  int Read(std::span<std::uint8_t> report, std::chrono::milliseconds timeout) override {
    const int count = inner_->Read(report, timeout);
    if (count > 0) {
      sink_->Line("IN", report.first(std::min(report.size(), static_cast<std::size_t>(count))));
    }
    return count;
  }

 private:
  std::unique_ptr<HidDevice> inner_;
  std::shared_ptr<TracingBackend::Sink> sink_;
};

}  // namespace

std::string FormatTraceLine(std::string_view direction, std::span<const std::uint8_t> bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string line;
  line.reserve(direction.size() + 3 * bytes.size());
  line.append(direction);
  for (const std::uint8_t byte : bytes) {
    line.push_back(' ');
    line.push_back(kHex[byte >> 4]);
    line.push_back(kHex[byte & 0x0F]);
  }
  return line;
}

void TracingBackend::Sink::Line(std::string_view direction, std::span<const std::uint8_t> bytes) {
  std::string line = FormatTraceLine(direction, bytes);
  line.push_back('\n');
  const std::lock_guard<std::mutex> lock(mutex);
  // Flushed per line so a trace of a run that hangs or dies still shows its last reports.
  out->write(line.data(), static_cast<std::streamsize>(line.size()));
  out->flush();
}

TracingBackend::TracingBackend(HidBackend& inner, std::ostream& out)
    : inner_(inner), sink_(std::make_shared<Sink>()) {
  sink_->out = &out;
}

std::vector<HidDeviceInfo> TracingBackend::Enumerate() { return inner_.Enumerate(); }

std::unique_ptr<HidDevice> TracingBackend::Open(const std::string& path) {
  std::unique_ptr<HidDevice> device = inner_.Open(path);
  if (device == nullptr) return nullptr;
  return std::make_unique<TracingDevice>(std::move(device), sink_);
}

}  // namespace qz
