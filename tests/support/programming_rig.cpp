#include "support/programming_rig.h"

#include <gtest/gtest.h>

#include <chrono>
#include <span>

#include "dialog/control_table.h"
#include "dialog/messages.h"
#include "hid/command_reports.h"

namespace qz::test {

class LinkSpy::Device final : public HidDevice {
 public:
  Device(LinkSpy& spy, std::unique_ptr<HidDevice> inner) : spy_(spy), inner_(std::move(inner)) {}
  ~Device() override { spy_.closes_.fetch_add(1); }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  [[nodiscard]] std::uint16_t InputReportLength() const override {
    return inner_->InputReportLength();
  }
  [[nodiscard]] std::uint16_t OutputReportLength() const override {
    return inner_->OutputReportLength();
  }

  int Write(std::span<const std::uint8_t> report) override {
    {
      std::lock_guard lock(spy_.mutex_);
      if (spy_.fail_writes_ && report.size() > kOffEepromData && spy_.fail_writes_(report.data())) {
        return -1;
      }
      const std::uint8_t command = report.size() > kOffCommand ? report[kOffCommand] : 0;
      if (command == kCmdEepromWrite || command == kCmdEepromRead) {
        if (++spy_.eeprom_requests_ == spy_.spoil_number_) spy_.spoil_sequence_ = report[kOffSequence];
      }
    }
    return inner_->Write(report);
  }

  int Read(std::span<std::uint8_t> report, std::chrono::milliseconds timeout) override {
    const int count = inner_->Read(report, timeout);
    std::lock_guard lock(spy_.mutex_);
    if (count > static_cast<int>(kOffReplyData) && spy_.spoil_sequence_ &&
        report[kOffReplySequence] == *spy_.spoil_sequence_) {
      report[kOffReplyData] = static_cast<std::uint8_t>(~report[kOffReplyData]);
      spy_.spoil_sequence_.reset();
    }
    return count;
  }

 private:
  LinkSpy& spy_;
  std::unique_ptr<HidDevice> inner_;
};

std::vector<HidDeviceInfo> LinkSpy::Enumerate() {
  enumerations_.fetch_add(1);
  return inner_.Enumerate();
}

std::unique_ptr<HidDevice> LinkSpy::Open(const std::string& path) {
  std::unique_ptr<HidDevice> device = inner_.Open(path);
  if (device == nullptr) return nullptr;
  opens_.fetch_add(1);
  return std::make_unique<Device>(*this, std::move(device));
}

void LinkSpy::FailWrites(std::function<bool(const std::uint8_t*)> predicate) {
  std::lock_guard lock(mutex_);
  fail_writes_ = std::move(predicate);
}

void LinkSpy::SpoilEepromReply(std::uint64_t number) {
  std::lock_guard lock(mutex_);
  spoil_number_ = number;
}

bool IsEraseCommand(const std::uint8_t* report) {
  return report[kOffSequence] == kFixedReportSequence && report[kOffCommand] == kCmdErase;
}

bool IsModePreparation(const std::uint8_t* report) {
  return report[kOffSequence] == kFixedReportSequence && report[kOffCommand] == kCmdRegisterWrite &&
         report[4] == 0xC4;
}

Rig::Rig(sim::ChipOptions options)
    : chip(clock, options), sim_backend(chip, clock), spy(sim_backend), hotplug(&chip) {
  controls.SetMessageHandler([this](const MessageBoxRequest& message) {
    if (message.text == msg::kReplugDevice) (void)dialog_->DispatchHotplugEvents();
  });
}

Rig::~Rig() {
  if (dialog_) dialog_->OnExit();
  dialog_.reset();
}

void Rig::Init() {
  dialog_ = std::make_unique<CQZ670xWriteEepromMPUtyDlg>(controls, spy, clock, &hotplug,
                                                         "programming_tests");
  ASSERT_TRUE(dialog_->OnInitDialog());
}

void Rig::UseImage(const SampleImageOptions& options) {
  image = SampleBytes(options);
  const std::string path = dir.File("image.bin");
  WriteBytes(path, image);
  controls.SetText(ctl::kOriginPath, path);
}

void Rig::Write() {
  dialog_->OnWriteEeprom();
  WaitForClose();
}

void Rig::WaitForClose() {
  // A bound against a hang only: a job on the manual clock takes a fraction of a second.
  const bool closed = controls.WaitUntil(
      [this] { return !dialog_->JobActive() && controls.IsEnabled(ctl::kWriteEeprom); },
      std::chrono::minutes(2));
  ASSERT_TRUE(closed) << "the job did not close";
  (void)controls.RunPostedTasks();
}

std::string FailureText(int code) {
  return std::string(msg::kWriteFailPrefix) + std::to_string(code) + ")";
}

std::uint8_t SequenceAfter(std::uint8_t start, int register_steps, int eeprom_steps) {
  std::uint8_t sequence = start;
  for (int i = 0; i < register_steps; ++i) {
    sequence = sequence < 240 ? static_cast<std::uint8_t>(sequence + 1) : std::uint8_t{1};
  }
  for (int i = 0; i < eeprom_steps; ++i) {
    sequence = sequence < 252 ? static_cast<std::uint8_t>(sequence + 1) : std::uint8_t{1};
  }
  return sequence;
}

}  // namespace qz::test
