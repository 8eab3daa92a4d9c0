#include "production/station_setup.h"

#include <set>

#include "base/hex_text.h"
#include "dialog/control_table.h"
#include "dialog/headless_controls.h"
#include "dialog/messages.h"
#include "dialog/qz670x_dialog.h"
#include "hid/chip_identities.h"
#include "hid/hid_backend.h"
#include "image/image_format.h"
#include "image/utf16.h"
#include "prodlog/serial_numbers.h"
#include "serials/command_line.h"

namespace qz::production {

namespace {

constexpr int kSetupControls[] = {
    ctl::kOriginPath,      ctl::kBrowseOrigin,  ctl::kFactoryMode,      ctl::kDeveloperMode,
    ctl::kUpdateEnable,    ctl::kReset,         ctl::kManufacturerBox,  ctl::kManufacturerEdit,
    ctl::kProductBox,      ctl::kProductEdit,   ctl::kSerialBox,        ctl::kSerialEdit,
    ctl::kHsBcdBox,        ctl::kHsBcdEdit,     ctl::kHsAudioBox,       ctl::kHsAudioEdit,
    ctl::kFsBcdBox,        ctl::kFsBcdEdit,     ctl::kFsAudioBox,       ctl::kFsAudioEdit,
    ctl::kUseEvb};

// The overrides an operator can choose: box, edit, and the name the log gives them (the
// command line's option names).
struct OverrideRow {
  int box;
  int edit;
  const char* name;
};
constexpr OverrideRow kOverrideRows[] = {
    {ctl::kManufacturerBox, ctl::kManufacturerEdit, "manufacturer"},
    {ctl::kProductBox, ctl::kProductEdit, "product"},
    {ctl::kSerialBox, ctl::kSerialEdit, "serial"},
    {ctl::kHsAudioBox, ctl::kHsAudioEdit, "hs-audio"},
    {ctl::kFsAudioBox, ctl::kFsAudioEdit, "fs-audio"},
    {ctl::kHsBcdBox, ctl::kHsBcdEdit, "hs-bcd"},
    {ctl::kFsBcdBox, ctl::kFsBcdEdit, "fs-bcd"},
};

std::string Hex4(unsigned value) { return FormatHex(value & 0xFFFFu, 4); }

// A few lines on what the checked image holds.
std::vector<std::string> Summarise(const CQZ670xWriteEepromMPUtyDlg& dialog) {
  const ImageBuffer& image = dialog.FileImage;
  std::vector<std::string> lines;
  if (dialog.FwInfo.found != 0) {
    const unsigned id = dialog.FwInfo.info_words[kFirmwareIdWord];
    std::string line = "Firmware ID " + Hex4(id);
    if (id != dialog.ExpectedFirmwareId) {
      line += "  (not the expected " + Hex4(dialog.ExpectedFirmwareId) + ")";
    }
    lines.push_back(line);
  } else {
    lines.emplace_back("Firmware ID: none (no QZFwLTag)");
  }
  lines.push_back("CId 0x" + FormatHex(dialog.CId.cid & 0xFFu, 2));
  const auto device = [&](std::string_view tag, const char* label) {
    std::uint32_t block = 0;
    if (FindImageBlock(&image, tag, kDeviceDescriptorPatchSpan, &block) != S_OK) return;
    const std::uint8_t* descriptor = image.data() + block;
    lines.push_back(std::string(label) + ": VID " + Hex4(ReadLe16(descriptor + kIdVendorOffset)) +
                    ", PID " + Hex4(ReadLe16(descriptor + kIdProductOffset)) + ", bcdDevice " +
                    Hex4(ReadLe16(descriptor + kBcdDeviceOffset)));
  };
  device(kHsDTag, "High speed");
  device(kFsDTag, "Full speed");
  std::uint32_t area = 0;
  if (FindImageBlock(&image, kStrTag, kStringAreaSize, &area) == S_OK) {
    lines.push_back("Manufacturer \"" + DecodeStringSlot(image.data() + area, 1) +
                    "\", product \"" + DecodeStringSlot(image.data() + area, 2) + "\"");
  }
  return lines;
}

}  // namespace

// The window's controls as the settings' dialog object sees them: everything reaches the
// window, but message boxes are collected for the setup to show, never shown modally.
class StationSetup::Collector final : public DialogControls {
 public:
  explicit Collector(DialogControls& target) : target_(target) {}
  [[nodiscard]] bool IsChecked(int id) const override { return target_.IsChecked(id); }
  void SetChecked(int id, bool checked) override { target_.SetChecked(id, checked); }
  [[nodiscard]] bool IsEnabled(int id) const override { return target_.IsEnabled(id); }
  void SetEnabled(int id, bool enabled) override { target_.SetEnabled(id, enabled); }
  [[nodiscard]] bool IsVisible(int id) const override { return target_.IsVisible(id); }
  void SetVisible(int id, bool visible) override { target_.SetVisible(id, visible); }
  [[nodiscard]] std::string Text(int id) const override { return target_.Text(id); }
  void SetText(int id, std::string_view text) override { target_.SetText(id, text); }
  void SetProgressRange(int id, int low, int high) override {
    target_.SetProgressRange(id, low, high);
  }
  void SetProgress(int id, int position) override { target_.SetProgress(id, position); }
  [[nodiscard]] int Progress(int id) const override { return target_.Progress(id); }
  void ShowMessage(const MessageBoxRequest& message) override {
    if (lines_ != nullptr) lines_->push_back(TextWithDetail(message));
  }
  void PostToUi(std::function<void()> task) override { target_.PostToUi(std::move(task)); }

  std::vector<std::string>* lines_ = nullptr;

 private:
  DialogControls& target_;
};

std::span<const int> StationSetup::Controls() { return kSetupControls; }

StationSetup::StationSetup(DialogControls& controls, Clock& clock, std::string app_name)
    : app_name_(std::move(app_name)),
      collector_(std::make_unique<Collector>(controls)),
      no_chips_(std::make_unique<NullHidBackend>()) {
  dialog_ = std::make_unique<CQZ670xWriteEepromMPUtyDlg>(*collector_, *no_chips_, clock, nullptr,
                                                         app_name_);
  // the dialog's start state of these controls: Developer mode, expected firmware ID
  dialog_->ExpectedFirmwareId = static_cast<std::uint16_t>(ParseHexText("5067"));
  collector_->SetChecked(ctl::kDeveloperMode, true);
  dialog_->UpdateModeControls();
}

StationSetup::~StationSetup() = default;

std::vector<std::string> StationSetup::Collect(const std::function<void()>& operation) {
  std::vector<std::string> lines;
  collector_->lines_ = &lines;
  operation();
  collector_->lines_ = nullptr;
  return lines;
}

bool StationSetup::OnClicked(int id) {
  switch (id) {
    case ctl::kFactoryMode:
    case ctl::kDeveloperMode:
      dialog_->UpdateModeControls();
      return true;
    case ctl::kUpdateEnable:
      dialog_->UpdateEnableControls();
      return true;
    case ctl::kUseEvb:
      dialog_->UseEvbIdsControls();
      return true;
    case ctl::kReset:
      dialog_->ResetDescriptorControls();
      return true;
    default:
      return false;
  }
}

std::optional<bool> StationSetup::ChooseImage(std::string_view path) {
  if (path.empty() || Utf8ToUtf16(path).size() > static_cast<std::size_t>(kMaxChosenPathChars)) {
    messages_ = {std::string(msg::kPathTooLong)};
    return std::nullopt;
  }
  collector_->SetText(ctl::kOriginPath, path);
  return CheckImage();
}

bool StationSetup::CheckImage() {
  image_ok_ = false;
  image_checked_ = true;
  std::vector<std::string> lines = Collect([this] {
    const std::optional<std::string> path = dialog_->PathEditText(ctl::kOriginPath);
    image_ok_ = dialog_->LoadImageFile(path ? path->c_str() : nullptr) == S_OK;
    // as "Read From File" says it
    if (!image_ok_) dialog_->ShowMessage(msg::kReadFileError);
  });
  if (image_ok_) {
    image_report_ = Summarise(*dialog_);
    messages_.clear();
  } else {
    image_report_ = std::move(lines);
  }
  return image_ok_;
}

bool StationSetup::CheckOverrides(const std::optional<std::string>& serial) {
  if (!CheckImage()) return false;
  // One unit's road on a bus without chips: it stops at the image, an override, or the search.
  station::UnitChoices choices = Choices();
  choices.serial = serial;
  NullHidBackend nothing;
  HeadlessControls controls;
  std::vector<std::string> lines;
  station::UnitResult result;
  {
    CQZ670xWriteEepromMPUtyDlg dialog(controls, nothing, dialog_->GetClock(), nullptr, app_name_);
    (void)dialog.OnInitDialog();
    station::UnitHooks hooks;
    hooks.on_message = [&lines](const MessageBoxRequest& message) {
      lines.push_back(TextWithDetail(message));
    };
    hooks.replug_timeout = {};
    result = station::RunUnit(dialog, controls, choices, hooks);
    if (!result.exited) dialog.OnExit();
  }
  const bool rejected = result.exit == station::Exit::kImageRejected ||
                        result.exit == station::Exit::kOverrideRejected;
  messages_ = rejected ? std::move(lines) : std::vector<std::string>{};
  return !rejected;
}

std::string StationSetup::ImagePath() const { return collector_->Text(ctl::kOriginPath); }

bool StationSetup::FactoryMode() const { return collector_->IsChecked(ctl::kFactoryMode); }

std::string StationSetup::SerialFormat(std::string_view typed) const {
  if (job_) return job_->job.serial ? job_->job.serial->format : std::string();
  return std::string(typed);
}

std::optional<std::uint64_t> StationSetup::NextSerial(std::string_view typed) const {
  if (job_) {
    if (!job_->job.serial) return std::nullopt;
    return job_->job.serial->start;
  }
  if (typed.empty() || typed.size() > 18) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : typed) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

station::UnitChoices StationSetup::Choices() const {
  if (job_) return jobs::ChoicesFor(*job_);
  station::UnitChoices choices;
  choices.image = ImagePath();
  choices.factory = FactoryMode();
  choices.evb = collector_->IsChecked(ctl::kUseEvb);
  struct Chosen {
    int box;
    int edit;
    bool checked;
    std::string text;
  };
  std::vector<Chosen> chosen;
  for (const OverrideRow& row : kOverrideRows) {
    chosen.push_back(
        {row.box, row.edit, collector_->IsChecked(row.box), collector_->Text(row.edit)});
  }
  choices.overrides = [chosen](DialogControls& target) {
    for (const Chosen& each : chosen) {
      target.SetChecked(each.box, each.checked);
      if (each.checked) target.SetText(each.edit, each.text);
    }
  };
  return choices;
}

std::vector<std::pair<std::string, std::string>> StationSetup::AppliedOverrides() const {
  if (job_) return job_->job.overrides;
  std::vector<std::pair<std::string, std::string>> applied;
  for (const OverrideRow& row : kOverrideRows) {
    if (collector_->IsChecked(row.box)) {
      applied.emplace_back(row.name, collector_->Text(row.edit));
    }
  }
  return applied;
}

std::optional<StationStart> StationSetup::PrepareStart(std::string_view serial_format,
                                                       std::string_view next_serial,
                                                       std::string* error) {
  // serial numbers: the first one is checked as every unit's will be
  StationStart start;
  prodlog::UnitStart& unit_start = start.unit_start;
  const std::string format_text = SerialFormat(serial_format);
  std::optional<std::string> first_serial;
  if (!format_text.empty()) {
    std::string why;
    unit_start.serial_format = prodlog::SerialFormat::Parse(format_text, &why);
    if (!unit_start.serial_format) {
      *error = why;
      return std::nullopt;
    }
    unit_start.serial_start = NextSerial(next_serial).value_or(1);
    first_serial = unit_start.serial_format->Format(unit_start.serial_start);
    if (!first_serial) {
      *error = unit_start.serial_format->OverflowMessage(unit_start.serial_start);
      return std::nullopt;
    }
  }
  // a list of the line or the factory's program: the job's, else the configuration's when the
  // window gives no format (a list's numbers are the line's: the log must be a line database)
  const bool configured = !job_ && format_text.empty();
  const std::string list = job_ && job_->job.serial ? job_->job.serial->list
                           : configured             ? settings_.serial_list_name
                                                    : std::string();
  const std::string program = job_ && job_->job.serial ? job_->job.serial->program
                              : configured             ? settings_.serial_program
                                                       : std::string();
  unit_start.serial_list_name = list;
  if (!program.empty()) {
    std::string why;
    std::optional<std::vector<std::string>> words = serials::SplitCommandLine(program, &why);
    if (!words) {
      *error = "the serial program: " + why;
      return std::nullopt;
    }
    start.serial_program = std::move(*words);
  }
  if (!CheckOverrides(first_serial)) {
    *error = "the image or an override was refused";
    return std::nullopt;
  }

  start.choices = Choices();
  unit_start.station = StationName();
  unit_start.image_path = start.choices.image;
  if (job_) {
    unit_start.image_sha256 = job_->job.image_sha256;
    unit_start.job = jobs::StampFor(*job_);
  } else {
    std::string why;
    unit_start.image_sha256 = prodlog::FileSha256Hex(start.choices.image, &why);
    if (unit_start.image_sha256.empty()) {
      *error = "cannot read the image " + start.choices.image + ": " + why;
      return std::nullopt;
    }
  }
  prodlog::SetMode(unit_start, start.choices.factory);
  unit_start.overrides = AppliedOverrides();
  start.results = ConfiguredResultTargets(job_ ? &job_->job : nullptr, settings_);
  if (std::string why = results::TargetsProblem(start.results); !why.empty()) {
    *error = why;
    return std::nullopt;
  }
  return start;
}

void StationSetup::SetStationSettings(const StationSettings& settings) {
  settings_ = settings;
  if (settings.require_signed_jobs && !job_) {
    image_report_ = {"This station runs only signed jobs: Load job\u2026"};
  }
}

std::string StationSetup::StationName() const {
  return settings_.station.empty() ? prodlog::HostName() : settings_.station;
}

bool StationSetup::LoadJob(const std::string& path) {
  jobs::JobRefusal refusal;
  std::optional<jobs::LoadedJob> loaded = jobs::PrepareJobRun(path, settings_.Policy(StationName()), &refusal);
  if (!loaded) {
    std::vector<std::string> lines;
    for (const MessageBoxRequest& message : refusal.messages) {
      lines.push_back(TextWithDetail(message));
    }
    if (!refusal.message.empty()) lines.push_back(refusal.message);
    messages_ = std::move(lines);
    return false;
  }
  job_ = std::move(loaded);
  const jobs::Job& job = job_->job;
  // the job's settings in the dialog's controls
  dialog_->UseOriginBytes(std::make_shared<const std::vector<std::uint8_t>>(job.image));
  collector_->SetText(ctl::kOriginPath, path);
  collector_->SetChecked(ctl::kFactoryMode, job.factory);
  collector_->SetChecked(ctl::kDeveloperMode, !job.factory);
  dialog_->UpdateModeControls();
  dialog_->ResetDescriptorControls();
  station::UnitChoices choices = jobs::ChoicesFor(*job_);
  if (choices.overrides) choices.overrides(*collector_);
  collector_->SetChecked(ctl::kUseEvb, job.evb);
  if (job.evb) dialog_->UseEvbIdsControls();
  job_report_.clear();
  for (const auto& [name, value] : jobs::DescribeJob(job)) job_report_.push_back(name + ": " + value);
  job_report_.push_back("signature: " + jobs::DescribeSignature(job, job_->signature));
  messages_.clear();
  (void)CheckImage();
  return true;
}

std::vector<std::string> ParsePortList(std::string_view text) {
  std::vector<std::string> ports;
  std::string word;
  for (char c : std::string(text) + " ") {
    if (c == ' ' || c == ',' || c == ';' || c == '\t' || c == '\n' || c == '\r') {
      if (!word.empty()) ports.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  return ports;
}

std::vector<std::string> PortsWithChips(HidBackend& bus) {
  std::set<std::string> present;
  for (const HidDeviceInfo& info : bus.Enumerate()) {
    if (info.vendor_id == kQzVendorId && !info.port.empty()) present.insert(info.port);
  }
  return {present.begin(), present.end()};
}

std::optional<std::vector<std::string>> RunPorts(const std::vector<std::string>& listed,
                                                 HidBackend& bus, std::string* error) {
  if (listed.empty()) {
    std::vector<std::string> present = PortsWithChips(bus);
    if (present.empty()) {
      *error = "no chip on any USB port";
      return std::nullopt;
    }
    return present;
  }
  std::set<std::string> seen;
  for (const std::string& port : listed) {
    if (!seen.insert(port).second) {
      *error = "port " + port + " is named twice";
      return std::nullopt;
    }
  }
  return listed;
}

}  // namespace qz::production
