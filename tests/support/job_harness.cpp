#include "support/job_harness.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <span>
#include <unistd.h>

#include "dialog/control_table.h"
#include "dialog/headless_controls.h"
#include "dialog/messages.h"
#include "dialog/qz670x_dialog.h"
#include "hid/command_reports.h"
#include "image/image_buffer.h"
#include "image/sample_image.h"
#include "sim/sim_hid_backend.h"
#include "sim/sim_hotplug.h"

namespace qz {

// Runs a job the UI thread has handed over on the calling thread instead of the worker's: one
// pass of the worker's loop, which takes a job from its request to its close.
class WorkerAccess {
 public:
  static void RunHandedOverJob(CQZ670xWriteEepromMPUtyDlg& dialog) {
    dialog.WorkerRunning.store(1);
    if (dialog.WriteRequested.load() != 0) dialog.RunWritePhase();
    if (dialog.VerifyRequested.load() != 0) dialog.RunReadBackPhase();
    if (dialog.CompareRequested.load() != 0) {
      dialog.RunComparePhase();
    } else if (dialog.CleanupRequested.load() != 0) {
      dialog.RunCloseStep();
    }
    dialog.WorkerRunning.store(0);
  }
};

}  // namespace qz

namespace qz::test {

namespace {

// A 64-bit mix for the noise the wire makes.
std::uint64_t Mix(std::uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// The HID layer between host and chip: counts opens and closes and, with a script, changes
// what the chip's replies look like on their way to the host.
class Wire final : public HidBackend {
 public:
  Wire(HidBackend& inner, Clock& clock, WireScript* script)
      : inner_(inner), clock_(clock), script_(script) {}

  [[nodiscard]] std::vector<HidDeviceInfo> Enumerate() override { return inner_.Enumerate(); }
  [[nodiscard]] std::unique_ptr<HidDevice> Open(const std::string& path) override;

  [[nodiscard]] int Opens() const { return opens_; }
  [[nodiscard]] int Closes() const { return closes_; }

 private:
  class Device;
  HidBackend& inner_;
  Clock& clock_;
  WireScript* script_;
  int opens_ = 0;
  int closes_ = 0;
  std::uint64_t noise_ = 0;
};

class Wire::Device final : public HidDevice {
 public:
  Device(Wire& wire, std::unique_ptr<HidDevice> inner) : wire_(wire), inner_(std::move(inner)) {}
  ~Device() override { ++wire_.closes_; }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  [[nodiscard]] std::uint16_t InputReportLength() const override {
    return inner_->InputReportLength();
  }
  [[nodiscard]] std::uint16_t OutputReportLength() const override {
    return inner_->OutputReportLength();
  }

  int Write(std::span<const std::uint8_t> report) override {
    if (wire_.script_ == nullptr) return inner_->Write(report);
    const WireAction action = wire_.script_->NextAction();
    if (action == WireAction::kDrop) return static_cast<int>(report.size());
    const int written = inner_->Write(report);
    // the chip answers at once: take its replies off the handle and pass them on as told
    std::vector<std::uint8_t> reply(std::max<std::size_t>(InputReportLength(), 1));
    for (;;) {
      const int count = inner_->Read(reply, std::chrono::milliseconds(0));
      if (count <= 0) {
        dead_ = count == 0;
        break;
      }
      Pass(action, std::vector<std::uint8_t>(reply.begin(), reply.begin() + count));
    }
    return written;
  }

  int Read(std::span<std::uint8_t> report, std::chrono::milliseconds timeout) override {
    if (wire_.script_ == nullptr) return inner_->Read(report, timeout);
    if (!queue_.empty()) {
      const std::vector<std::uint8_t> reply = std::move(queue_.front());
      queue_.pop_front();
      const std::size_t count = std::min(report.size(), reply.size());
      std::copy_n(reply.begin(), count, report.begin());
      return static_cast<int>(count);
    }
    if (dead_) return 0;
    wire_.clock_.SleepFor(std::chrono::duration_cast<Clock::Duration>(timeout));
    return -1;
  }

 private:
  void Pass(WireAction action, std::vector<std::uint8_t> reply) {
    switch (action) {
      case WireAction::kPass:
        queue_.push_back(std::move(reply));
        break;
      case WireAction::kDrop:
      case WireAction::kWithhold:
        break;
      case WireAction::kStale: {
        std::vector<std::uint8_t> stale = reply;
        if (stale.size() > kOffReplySequence) --stale[kOffReplySequence];
        for (std::size_t i = kOffReplyData; i < stale.size(); ++i) {
          stale[i] = static_cast<std::uint8_t>(~stale[i]);
        }
        queue_.push_back(std::move(stale));
        queue_.push_back(std::move(reply));
        break;
      }
      case WireAction::kWrongLength:
        reply.resize(std::max<std::size_t>(1, wire_.script_->NextByte() % reply.size()));
        queue_.push_back(std::move(reply));
        break;
      case WireAction::kNoise: {
        const std::uint64_t seed = Mix(++wire_.noise_ ^ wire_.script_->NextByte());
        for (std::size_t i = 0; i < reply.size(); ++i) {
          reply[i] = static_cast<std::uint8_t>(Mix(seed + i));
        }
        queue_.push_back(std::move(reply));
        break;
      }
      case WireAction::kDuplicate:
        queue_.push_back(reply);
        queue_.push_back(std::move(reply));
        break;
    }
  }

  Wire& wire_;
  std::unique_ptr<HidDevice> inner_;
  std::deque<std::vector<std::uint8_t>> queue_;
  bool dead_ = false;
};

std::unique_ptr<HidDevice> Wire::Open(const std::string& path) {
  std::unique_ptr<HidDevice> device = inner_.Open(path);
  if (device == nullptr) return nullptr;
  ++opens_;
  return std::make_unique<Device>(*this, std::move(device));
}

// The generated image every job writes, as a file made once per process.
const std::string& ImagePath() {
  // Never destroyed: the exit handler below still reads it after static destructors ran.
  static const std::string* const path = [] {
    const char* base = std::getenv("QZ_TEST_TMPDIR");
    std::filesystem::path dir = base != nullptr && *base != '\0'
                                    ? std::filesystem::path(base)
                                    : std::filesystem::temp_directory_path();
    std::filesystem::create_directories(dir);
    const std::filesystem::path file =
        dir / ("job-harness-" + std::to_string(::getpid()) + ".bin");
    ImageBuffer image;
    BuildSampleImage(SampleImageOptions{}, image);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(kImageSize));
    out.close();
    std::atexit([] { std::filesystem::remove(ImagePath()); });
    return new std::string(file.string());
  }();
  return *path;
}

}  // namespace

JobRunResult RunWriteJob(const JobRunOptions& options) {
  const std::string& image_path = ImagePath();
  ManualClock clock;
  sim::VirtualChip chip(clock, sim::ChipOptions{.forced_mode = options.start_mode});
  sim::SimHidBackend sim_backend(chip, clock);
  Wire wire(sim_backend, clock, options.script);
  sim::SimHotplugSource hotplug(&chip);
  HeadlessControls controls;
  CQZ670xWriteEepromMPUtyDlg dialog(controls, wire, clock, &hotplug, "job");
  // the operator re-plugs the chip when asked: the window would now see the device changes
  controls.SetMessageHandler([&dialog](const MessageBoxRequest& message) {
    if (message.text == msg::kReplugDevice) (void)dialog.DispatchHotplugEvents();
  });

  (void)dialog.OnInitDialog();
  dialog.StopWorker();  // this thread plays the worker
  for (const sim::Fault& fault : options.faults) chip.AddFault(fault);
  controls.SetText(ctl::kOriginPath, image_path);

  JobRunResult result;
  const Clock::Duration start = clock.Now();
  dialog.OnWriteEeprom();
  result.job_started = dialog.JobActive();
  if (result.job_started) {
    dialog.WriteLength = options.write_length;
    WorkerAccess::RunHandedOverJob(dialog);
    result.outcome = dialog.LastJobReport().outcome;
  }
  (void)controls.RunPostedTasks();
  result.virtual_time = clock.Now() - start;

  result.messages = controls.MessageTexts();
  result.said_ok = std::find(result.messages.begin(), result.messages.end(),
                             std::string(msg::kWriteOk)) != result.messages.end();
  const std::vector<std::uint8_t> eeprom = chip.Eeprom();
  result.eeprom_holds_image =
      dialog.WriteLength <= eeprom.size() &&
      std::equal(eeprom.begin(), eeprom.begin() + dialog.WriteLength, dialog.WriteImage.data());
  result.released = dialog.DeviceOpen == 0 && !dialog.Link.IsOpen() && !dialog.JobActive() &&
                    wire.Opens() == wire.Closes() && controls.IsEnabled(ctl::kWriteEeprom) &&
                    dialog.WriteRequested.load() + dialog.VerifyRequested.load() +
                            dialog.CompareRequested.load() + dialog.CleanupRequested.load() ==
                        0;
  dialog.OnExit();
  return result;
}

}  // namespace qz::test
