#include "recording/session_recording.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <utility>

#include <nlohmann/json.hpp>

#include "base/file_path.h"
#include "base/hex_text.h"
#include "hid/chip_identities.h"
#include "hid/trace.h"

namespace qz::recording {

namespace {

bool IsRomProductId(std::uint16_t product_id) {
  return std::any_of(kRomIdentities.begin(), kRomIdentities.end(),
                     [&](const UsbIdentity& rom) { return rom.product_id == product_id; });
}

// The chip among the listed interfaces: the first of our vendor.
std::optional<HidDeviceInfo> ChipOf(const std::vector<HidDeviceInfo>& interfaces) {
  for (const HidDeviceInfo& info : interfaces) {
    if (info.vendor_id == kQzVendorId) return info;
  }
  return std::nullopt;
}

}  // namespace

std::string BytesToHex(std::span<const std::uint8_t> bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(2 * bytes.size());
  for (const std::uint8_t byte : bytes) {
    text.push_back(kHex[byte >> 4]);
    text.push_back(kHex[byte & 0x0F]);
  }
  return text;
}

std::optional<std::vector<std::uint8_t>> HexToBytes(const std::string& text) {
  if (text.size() % 2 != 0) return std::nullopt;
  const auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::vector<std::uint8_t> bytes;
  bytes.reserve(text.size() / 2);
  for (std::size_t k = 0; k < text.size(); k += 2) {
    const int high = digit(text[k]);
    const int low = digit(text[k + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return bytes;
}

const char* ModeOfProductId(std::uint16_t product_id) {
  return IsRomProductId(product_id) ? "rom" : "firmware";
}

class RecordingBackend::Sink {
 public:
  Sink(Clock& clock, std::unique_ptr<std::ostream> out, SessionFacts facts)
      : clock_(clock), out_(std::move(out)), facts_(std::move(facts)) {}

  void Listed(const std::vector<HidDeviceInfo>& interfaces) {
    std::lock_guard lock(mutex_);
    listed_ = interfaces;
    if (!header_written_ || finished_) return;
    const std::optional<HidDeviceInfo> chip = ChipOf(interfaces);
    const bool same = chip && present_ && chip->vendor_id == present_->vendor_id &&
                      chip->product_id == present_->product_id;
    if (same) return;
    if (present_) Line({{"type", "removal"}, {"t", Offset()}});
    if (chip) Line(Arrival(*chip));
    present_ = chip;
  }

  void Opened(const std::string& path, const HidDevice& device) {
    std::lock_guard lock(mutex_);
    if (header_written_ || finished_) return;
    HidDeviceInfo info;
    for (const HidDeviceInfo& each : listed_) {
      if (each.path == path) info = each;
    }
    started_ = clock_.Now();
    header_written_ = true;
    present_ = info;
    Line({{"type", "header"},
          {"format", kRecordingFormat},
          {"program", facts_.program},
          {"port", info.port},
          {"vendor_id", FormatHex(info.vendor_id, 4)},
          {"product_id", FormatHex(info.product_id, 4)},
          {"mode", ModeOfProductId(info.product_id)},
          {"input_report_length", device.InputReportLength()},
          {"output_report_length", device.OutputReportLength()},
          {"report_descriptor", BytesToHex(device.ReportDescriptor())},
          {"image_sha256", facts_.image_sha256},
          {"image_length", facts_.image_length}});
  }

  void Report(bool out, std::span<const std::uint8_t> bytes, int result) {
    std::lock_guard lock(mutex_);
    if (!header_written_ || finished_) return;
    nlohmann::ordered_json line{{"type", out ? "out" : "in"}, {"index", ++reports_}, {"t", Offset()}};
    if (out) {
      AddBytes(line, bytes);
      if (result < 0 || static_cast<std::size_t>(result) != bytes.size()) line["result"] = result;
    } else if (result > 0) {
      AddBytes(line, bytes.first(std::min(bytes.size(), static_cast<std::size_t>(result))));
    } else {
      line["result"] = result;
    }
    Line(line);
  }

  void Power(bool on) {
    std::lock_guard lock(mutex_);
    if (!header_written_ || finished_) return;
    Line({{"type", "power"}, {"t", Offset()}, {"on", on}});
  }

  bool Finish() {
    std::lock_guard lock(mutex_);
    if (finished_) return good_;
    if (header_written_) Line({{"type", "end"}, {"reports", reports_}});
    finished_ = true;
    out_->flush();
    good_ = good_ && static_cast<bool>(*out_);
    return good_;
  }

 private:
  nlohmann::ordered_json Arrival(const HidDeviceInfo& chip) {
    return {{"type", "arrival"},
            {"t", Offset()},
            {"vendor_id", FormatHex(chip.vendor_id, 4)},
            {"product_id", FormatHex(chip.product_id, 4)},
            {"mode", ModeOfProductId(chip.product_id)}};
  }
  // Reports are mostly padding: trailing zero bytes are left out and "length" tells how many
  // bytes the report has.
  static void AddBytes(nlohmann::ordered_json& line, std::span<const std::uint8_t> bytes) {
    std::size_t kept = bytes.size();
    while (kept > 0 && bytes[kept - 1] == 0) --kept;
    line["bytes"] = BytesToHex(bytes.first(kept));
    if (kept != bytes.size()) line["length"] = bytes.size();
  }
  std::int64_t Offset() const { return (clock_.Now() - started_).count(); }
  void Line(const nlohmann::ordered_json& line) {
    *out_ << line.dump() << '\n';
    out_->flush();  // a run that dies keeps its last reports
    if (!*out_) good_ = false;
  }

  Clock& clock_;
  std::unique_ptr<std::ostream> out_;
  const SessionFacts facts_;
  std::mutex mutex_;
  std::vector<HidDeviceInfo> listed_;
  std::optional<HidDeviceInfo> present_;
  Clock::Duration started_{};
  std::uint64_t reports_ = 0;
  bool header_written_ = false;
  bool finished_ = false;
  bool good_ = true;
};

namespace {

class RecordingDevice final : public HidDevice {
 public:
  RecordingDevice(std::unique_ptr<HidDevice> inner, std::shared_ptr<RecordingBackend::Sink> sink)
      : inner_(std::move(inner)), sink_(std::move(sink)) {}

  [[nodiscard]] std::uint16_t InputReportLength() const override {
    return inner_->InputReportLength();
  }
  [[nodiscard]] std::uint16_t OutputReportLength() const override {
    return inner_->OutputReportLength();
  }
  [[nodiscard]] std::vector<std::uint8_t> ReportDescriptor() const override {
    return inner_->ReportDescriptor();
  }
  int Write(std::span<const std::uint8_t> report) override {
    const int written = inner_->Write(report);
    sink_->Report(true, report, written);
    return written;
  }
  int Read(std::span<std::uint8_t> report, std::chrono::milliseconds timeout) override {
    const int count = inner_->Read(report, timeout);
    sink_->Report(false, report, count);
    return count;
  }

 private:
  std::unique_ptr<HidDevice> inner_;
  std::shared_ptr<RecordingBackend::Sink> sink_;
};

}  // namespace

std::unique_ptr<RecordingBackend> RecordingBackend::Create(HidBackend& inner, Clock& clock,
                                                           const std::string& path,
                                                           SessionFacts facts, std::string* error) {
  errno = 0;
  auto out = std::make_unique<std::ofstream>(PathFromUtf8(path), std::ios::trunc);
  if (!*out) {
    if (error != nullptr) *error = path + ": cannot open the recording file" + SystemReasonSuffix();
    return nullptr;
  }
  return std::make_unique<RecordingBackend>(inner, clock, std::move(out), std::move(facts));
}

RecordingBackend::RecordingBackend(HidBackend& inner, Clock& clock,
                                   std::unique_ptr<std::ostream> out, SessionFacts facts)
    : inner_(inner), sink_(std::make_shared<Sink>(clock, std::move(out), std::move(facts))) {}

RecordingBackend::~RecordingBackend() { (void)sink_->Finish(); }

std::vector<HidDeviceInfo> RecordingBackend::Enumerate() {
  std::vector<HidDeviceInfo> interfaces = inner_.Enumerate();
  sink_->Listed(interfaces);
  return interfaces;
}

std::unique_ptr<HidDevice> RecordingBackend::Open(const std::string& path) {
  std::unique_ptr<HidDevice> device = inner_.Open(path);
  if (device == nullptr) return nullptr;
  sink_->Opened(path, *device);
  return std::make_unique<RecordingDevice>(std::move(device), sink_);
}

void RecordingBackend::RecordPower(bool on) { sink_->Power(on); }

bool RecordingBackend::Finish() { return sink_->Finish(); }

namespace {

std::optional<std::uint16_t> IdOf(const nlohmann::json& line, const char* key) {
  if (!line.contains(key) || !line[key].is_string()) return std::nullopt;
  const std::optional<std::vector<std::uint8_t>> bytes = HexToBytes(line[key].get<std::string>());
  if (!bytes || bytes->size() != 2) return std::nullopt;
  return static_cast<std::uint16_t>((*bytes)[0] << 8 | (*bytes)[1]);
}

}  // namespace

std::optional<Recording> LoadRecording(const std::string& path, std::string* error) {
  const auto fail = [&](const std::string& why) -> std::optional<Recording> {
    if (error != nullptr) *error = path + ": " + why;
    return std::nullopt;
  };
  std::ifstream in(path);
  if (!in) return fail("cannot read the recording");
  Recording recording;
  bool ended = false;
  std::uint64_t number = 0;
  for (std::string text; std::getline(in, text);) {
    ++number;
    const std::string where = "line " + std::to_string(number) + ": ";
    if (ended) return fail(where + "more after the end line");
    const nlohmann::json line = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (line.is_discarded() || !line.is_object() || !line.contains("type") ||
        !line["type"].is_string()) {
      // a broken last line is a file cut short while it was written
      return fail(in.peek() == EOF ? "the recording is cut short (its last line is incomplete)"
                                   : where + "not a recording line");
    }
    const std::string type = line["type"].get<std::string>();
    try {
      if (number == 1) {
        if (type != "header") return fail("not a session recording (no header line)");
        const int format = line.value("format", 0);
        if (format != kRecordingFormat) {
          return fail("a recording of format " + std::to_string(format) + "; this program reads format " +
                      std::to_string(kRecordingFormat));
        }
        recording.program = line.value("program", "");
        recording.port = line.value("port", "");
        const std::optional<std::uint16_t> vendor = IdOf(line, "vendor_id");
        const std::optional<std::uint16_t> product = IdOf(line, "product_id");
        const std::optional<std::vector<std::uint8_t>> descriptor =
            HexToBytes(line.value("report_descriptor", ""));
        if (!vendor || !product || !descriptor) return fail(where + "a damaged header");
        recording.vendor_id = *vendor;
        recording.product_id = *product;
        recording.input_report_length = line.value("input_report_length", std::uint16_t{0});
        recording.output_report_length = line.value("output_report_length", std::uint16_t{0});
        recording.report_descriptor = *descriptor;
        recording.image_sha256 = line.value("image_sha256", "");
        recording.image_length = line.value("image_length", std::uint64_t{0});
        continue;
      }
      Recording::Entry entry;
      if (type == "out" || type == "in") {
        entry.kind = type == "out" ? Recording::Entry::Kind::kOut : Recording::Entry::Kind::kIn;
        entry.index = line.at("index").get<std::uint64_t>();
        if (entry.index != recording.reports + 1) return fail(where + "reports out of order");
        ++recording.reports;
        if (line.contains("bytes")) {
          const std::optional<std::vector<std::uint8_t>> bytes =
              HexToBytes(line["bytes"].get<std::string>());
          if (!bytes) return fail(where + "bytes that are not hex");
          entry.bytes = *bytes;
          const std::size_t length = line.value("length", entry.bytes.size());
          if (length < entry.bytes.size() || length > 0x10000) {
            return fail(where + "a report length that does not fit its bytes");
          }
          entry.bytes.resize(length, 0);
        }
        entry.result = line.value("result", static_cast<int>(entry.bytes.size()));
      } else if (type == "arrival") {
        entry.kind = Recording::Entry::Kind::kArrival;
        const std::optional<std::uint16_t> vendor = IdOf(line, "vendor_id");
        const std::optional<std::uint16_t> product = IdOf(line, "product_id");
        if (!vendor || !product) return fail(where + "an arrival without its identity");
        entry.vendor_id = *vendor;
        entry.product_id = *product;
      } else if (type == "removal") {
        entry.kind = Recording::Entry::Kind::kRemoval;
      } else if (type == "power") {
        entry.kind = Recording::Entry::Kind::kPower;
        entry.on = line.at("on").get<bool>();
      } else if (type == "end") {
        if (line.value("reports", std::uint64_t{0}) != recording.reports) {
          return fail("the end line counts " + std::to_string(line.value("reports", std::uint64_t{0})) +
                      " reports, the file holds " + std::to_string(recording.reports));
        }
        ended = true;
        continue;
      } else {
        return fail(where + "an unknown line type \"" + type + "\"");
      }
      recording.entries.push_back(std::move(entry));
    } catch (const nlohmann::json::exception&) {
      return fail(where + "a damaged " + type + " line");
    }
  }
  if (number == 0) return fail("an empty file, not a session recording");
  if (!ended) {
    return fail("the recording is cut short after report " + std::to_string(recording.reports) +
                " (no end line)");
  }
  return recording;
}

std::string DescribeReport(const Recording::Entry& entry) {
  const char* direction = entry.kind == Recording::Entry::Kind::kOut ? "OUT" : "IN";
  if (entry.kind == Recording::Entry::Kind::kIn && entry.bytes.empty()) {
    return entry.result < 0 ? "IN (nothing within the time-out)" : "IN (no read possible)";
  }
  std::string text = FormatTraceLine(direction, entry.bytes);
  if (entry.kind == Recording::Entry::Kind::kOut && entry.result < 0) text += " (refused)";
  return text;
}

}  // namespace qz::recording
