#include "app/setup_panel.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QSysInfo>
#include <QVBoxLayout>

#include <memory>
#include <utility>

#include "app/dialog_window.h"
#include "app/qt_dialog_controls.h"
#include "base/hex_text.h"
#include "dialog/control_table.h"
#include "dialog/headless_controls.h"
#include "dialog/messages.h"
#include "dialog/qz670x_dialog.h"
#include "hid/hid_backend.h"
#include "image/image_format.h"

namespace qz::app {

namespace {

// The dialog controls the panel shows, in tab order: the origin file, the mode, the overrides.
// The vendor-ID and product-ID rows stay hidden in the dialog for the whole run, and so they are
// not shown here either; the update file and Save BIN belong to the dialog alone.
constexpr int kPanelControls[] = {
    ctl::kOriginPath,      ctl::kBrowseOrigin,  ctl::kFactoryMode,      ctl::kDeveloperMode,
    ctl::kUpdateEnable,    ctl::kReset,         ctl::kManufacturerBox,  ctl::kManufacturerEdit,
    ctl::kProductBox,      ctl::kProductEdit,   ctl::kSerialBox,        ctl::kSerialEdit,
    ctl::kHsBcdBox,        ctl::kHsBcdEdit,     ctl::kHsAudioBox,       ctl::kHsAudioEdit,
    ctl::kFsBcdBox,        ctl::kFsBcdEdit,     ctl::kFsAudioBox,       ctl::kFsAudioEdit,
    ctl::kUseEvb};

// The overrides an operator can choose here: box, edit, and the name the log gives them (the
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

QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString Hex4(unsigned value) { return FromUtf8(FormatHex(value & 0xFFFFu, 4)); }

// A few lines on what the checked image holds.
QString Summarise(const CQZ670xWriteEepromMPUtyDlg& dialog) {
  const ImageBuffer& image = dialog.FileImage;
  QStringList lines;
  if (dialog.FwInfo.found != 0) {
    const unsigned id = dialog.FwInfo.info_words[kFirmwareIdWord];
    QString line = QStringLiteral("Firmware ID %1").arg(Hex4(id));
    if (id != dialog.ExpectedFirmwareId) {
      line += QStringLiteral("  (not the expected %1)").arg(Hex4(dialog.ExpectedFirmwareId));
    }
    lines << line;
  } else {
    lines << QStringLiteral("Firmware ID: none (no QZFwLTag)");
  }
  lines << QStringLiteral("CId 0x%1").arg(FromUtf8(FormatHex(dialog.CId.cid & 0xFFu, 2)));
  const auto device = [&](std::string_view tag, const char* label) {
    std::uint32_t block = 0;
    if (FindImageBlock(&image, tag, kDeviceDescriptorPatchSpan, &block) != S_OK) return;
    const std::uint8_t* descriptor = image.data() + block;
    lines << QStringLiteral("%1: VID %2, PID %3, bcdDevice %4")
                 .arg(QLatin1String(label), Hex4(ReadLe16(descriptor + kIdVendorOffset)),
                      Hex4(ReadLe16(descriptor + kIdProductOffset)),
                      Hex4(ReadLe16(descriptor + kBcdDeviceOffset)));
  };
  device(kHsDTag, "High speed");
  device(kFsDTag, "Full speed");
  std::uint32_t area = 0;
  if (FindImageBlock(&image, kStrTag, kStringAreaSize, &area) == S_OK) {
    lines << QStringLiteral("Manufacturer \"%1\", product \"%2\"")
                 .arg(FromUtf8(DecodeStringSlot(image.data() + area, 1)),
                      FromUtf8(DecodeStringSlot(image.data() + area, 2)));
  }
  return lines.join(QLatin1Char('\n'));
}

}  // namespace

SetupPanel::SetupPanel(Clock& clock, std::string app_name, QWidget* parent)
    : QWidget(parent), app_name_(std::move(app_name)), no_chips_(std::make_unique<NullHidBackend>()) {
  radios_ = new QButtonGroup(this);
  radios_->setExclusive(true);
  for (int id : kPanelControls) {
    const std::optional<ControlSpec> spec = FindControl(id);
    widgets_[id] = MakeControlWidget(*spec, this, radios_);
  }
  BuildLayout();

  controls_ = std::make_unique<QtDialogControls>(this, widgets_, radios_);
  // The settings' message boxes come to the panel's message area, never as modal boxes.
  controls_->SetMessagePresenter([this](const MessageBoxRequest& message) {
    if (collected_ != nullptr) collected_->push_back(message.text);
  });
  settings_ = std::make_unique<CQZ670xWriteEepromMPUtyDlg>(*controls_, *no_chips_, clock,
                                                           nullptr, app_name_);
  // the dialog's start state of these controls: Developer mode, expected firmware ID
  settings_->ExpectedFirmwareId = static_cast<std::uint16_t>(ParseHexText("5067"));
  controls_->SetChecked(ctl::kDeveloperMode, true);
  settings_->UpdateModeControls();

  // the dialog's message map, for the controls shown here
  const auto on_click = [this](int id, std::function<void()> handler) {
    connect(qobject_cast<QAbstractButton*>(Control(id)), &QAbstractButton::clicked, this,
            [handler = std::move(handler)] { handler(); });
  };
  on_click(ctl::kBrowseOrigin, [this] { Browse(ctl::kOriginPath); });
  for (int id : {ctl::kFactoryMode, ctl::kDeveloperMode}) {
    on_click(id, [this] { settings_->UpdateModeControls(); });
  }
  on_click(ctl::kUpdateEnable, [this] { settings_->UpdateEnableControls(); });
  on_click(ctl::kUseEvb, [this] { settings_->UseEvbIdsControls(); });
  on_click(ctl::kReset, [this] { settings_->ResetDescriptorControls(); });
  connect(qobject_cast<QLineEdit*>(Control(ctl::kOriginPath)), &QLineEdit::editingFinished, this,
          [this] { (void)CheckImage(); });
}

SetupPanel::~SetupPanel() {
  settings_.reset();
  if (controls_) controls_->Shutdown();
}

void SetupPanel::BuildLayout() {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(6, 6, 6, 6);

  // the image
  auto* file_box = new QGroupBox(QStringLiteral("Image"), this);
  auto* file_grid = new QGridLayout(file_box);
  file_grid->addWidget(new QLabel(QStringLiteral("File Name (Origin)"), file_box), 0, 0);
  file_grid->addWidget(Control(ctl::kOriginPath), 0, 1);
  file_grid->addWidget(Control(ctl::kBrowseOrigin), 0, 2);
  Control(ctl::kBrowseOrigin)->setMaximumWidth(40);
  auto* modes = new QHBoxLayout();
  modes->addWidget(Control(ctl::kFactoryMode));
  modes->addWidget(Control(ctl::kDeveloperMode));
  modes->addStretch(1);
  file_grid->addLayout(modes, 1, 0, 1, 3);
  load_job_ = new QPushButton(QStringLiteral("Load job…"), this);
  load_job_->setObjectName(QStringLiteral("loadJob"));
  connect(load_job_, &QPushButton::clicked, this, [this] {
    const std::optional<QString> path = ChooseFile(this, file_chooser_);
    if (path) (void)LoadJob(path->toStdString());
  });
  job_report_ = new QLabel(QStringLiteral("No job loaded."), this);
  job_report_->setObjectName(QStringLiteral("jobReport"));
  job_report_->setTextFormat(Qt::PlainText);
  job_report_->setWordWrap(true);
  job_report_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* job_row = new QHBoxLayout();
  job_row->addWidget(load_job_);
  job_row->addWidget(job_report_, 1);
  layout->addLayout(job_row);

  image_report_ = new QLabel(QStringLiteral("No image chosen."), file_box);
  image_report_->setObjectName(QStringLiteral("imageReport"));
  image_report_->setTextFormat(Qt::PlainText);
  image_report_->setWordWrap(true);
  file_grid->addWidget(image_report_, 2, 0, 1, 3);
  layout->addWidget(file_box);

  // the overrides, as the dialog groups them
  auto* descriptor_box = new QGroupBox(QStringLiteral(" USB Descriptor"), this);
  auto* grid = new QGridLayout(descriptor_box);
  grid->addWidget(Control(ctl::kUpdateEnable), 0, 0);
  grid->addWidget(Control(ctl::kReset), 0, 1, Qt::AlignRight);
  int row = 1;
  const auto add_row = [&](int box, int edit) {
    grid->addWidget(Control(box), row, 0);
    grid->addWidget(Control(edit), row, 1);
    ++row;
  };
  add_row(ctl::kManufacturerBox, ctl::kManufacturerEdit);
  add_row(ctl::kProductBox, ctl::kProductEdit);
  add_row(ctl::kSerialBox, ctl::kSerialEdit);
  grid->addWidget(new QLabel(QStringLiteral("High Speed"), descriptor_box), row++, 0);
  add_row(ctl::kHsBcdBox, ctl::kHsBcdEdit);
  add_row(ctl::kHsAudioBox, ctl::kHsAudioEdit);
  grid->addWidget(new QLabel(QStringLiteral("Full Speed"), descriptor_box), row++, 0);
  add_row(ctl::kFsBcdBox, ctl::kFsBcdEdit);
  add_row(ctl::kFsAudioBox, ctl::kFsAudioEdit);
  auto* evb = qobject_cast<QCheckBox*>(Control(ctl::kUseEvb));
  evb->setText(QStringLiteral(" Use EVB VID and PID"));
  evb->setToolTip(FromUtf8(FindControl(ctl::kUseEvb)->caption).trimmed());
  grid->addWidget(evb, row, 0, 1, 2);
  layout->addWidget(descriptor_box);

  // the station's own choices
  auto* station_box = new QGroupBox(QStringLiteral("Station"), this);
  auto* form = new QGridLayout(station_box);
  serial_format_ = new QLineEdit(station_box);
  serial_format_->setObjectName(QStringLiteral("serialFormat"));
  serial_format_->setPlaceholderText(QStringLiteral("e.g. L7-######"));
  next_serial_ = new QLineEdit(station_box);
  next_serial_->setObjectName(QStringLiteral("nextSerial"));
  next_serial_->setPlaceholderText(QStringLiteral("1"));
  next_serial_->setValidator(new QRegularExpressionValidator(
      QRegularExpression(QStringLiteral("[0-9]{0,18}")), next_serial_));
  log_file_ = new QLineEdit(station_box);
  log_file_->setObjectName(QStringLiteral("logFile"));
  log_file_->setPlaceholderText(
      QStringLiteral("default: the user's data directory; or postgresql://HOST/DB, service=NAME"));
  auto* log_browse = new QPushButton(QStringLiteral("..."), station_box);
  log_browse->setMaximumWidth(40);
  log_browse_ = log_browse;
  connect(log_browse, &QPushButton::clicked, this, [this] { BrowseLogFile(); });
  all_ports_ = new QRadioButton(QStringLiteral("All ports"), station_box);
  listed_ports_ = new QRadioButton(QStringLiteral("Ports"), station_box);
  all_ports_->setChecked(true);
  ports_ = new QLineEdit(station_box);
  ports_->setObjectName(QStringLiteral("ports"));
  ports_->setPlaceholderText(QStringLiteral("1-4.1, 1-4.2, ..."));
  ports_->setEnabled(false);
  connect(listed_ports_, &QRadioButton::toggled, ports_, &QLineEdit::setEnabled);

  form->addWidget(new QLabel(QStringLiteral("Serial format"), station_box), 0, 0);
  form->addWidget(serial_format_, 0, 1, 1, 2);
  form->addWidget(new QLabel(QStringLiteral("Next number"), station_box), 1, 0);
  form->addWidget(next_serial_, 1, 1, 1, 2);
  form->addWidget(new QLabel(QStringLiteral("Log file"), station_box), 2, 0);
  form->addWidget(log_file_, 2, 1);
  form->addWidget(log_browse, 2, 2);
  form->addWidget(all_ports_, 3, 0);
  auto* listed = new QHBoxLayout();
  listed->addWidget(listed_ports_);
  listed->addWidget(ports_, 1);
  form->addLayout(listed, 3, 1, 1, 2);
  layout->addWidget(station_box);

  messages_ = new QLabel(this);
  messages_->setObjectName(QStringLiteral("setupMessages"));
  messages_->setTextFormat(Qt::PlainText);
  messages_->setWordWrap(true);
  messages_->setStyleSheet(QStringLiteral("color: #b00000; font-weight: bold;"));
  layout->addWidget(messages_);
  layout->addStretch(1);
}

QWidget* SetupPanel::Control(int id) const {
  auto it = widgets_.find(id);
  return it == widgets_.end() ? nullptr : it->second;
}

QString SetupPanel::ImageReport() const { return image_report_->text(); }

void SetupPanel::SetFileChooser(FileChooser chooser) { file_chooser_ = std::move(chooser); }

std::vector<std::string> SetupPanel::Collect(const std::function<void()>& operation) {
  std::vector<std::string> lines;
  collected_ = &lines;
  operation();
  collected_ = nullptr;
  return lines;
}

void SetupPanel::ShowMessages(const std::vector<std::string>& lines) {
  QStringList texts;
  for (const std::string& line : lines) texts << QString::fromStdString(line);
  messages_->setText(texts.join(QLatin1Char('\n')));
}

void SetupPanel::Browse(int target_edit) {
  const std::optional<QString> path = ChooseFile(this, file_chooser_);
  if (!path) return;  // cancelled: the edit keeps its text
  if (path->size() > kMaxChosenPathChars) {
    ShowMessages({std::string(msg::kPathTooLong)});
    return;
  }
  controls_->SetText(target_edit, path->toStdString());
  (void)CheckImage();
}

void SetupPanel::BrowseLogFile() {
  const QString path = QFileDialog::getSaveFileName(
      this, QStringLiteral("Production log"), log_file_->text(),
      QStringLiteral("Production log (*.sqlite *.db);;All files (*)"), nullptr,
      QFileDialog::DontConfirmOverwrite);
  if (!path.isEmpty()) log_file_->setText(QDir::toNativeSeparators(path));
}

bool SetupPanel::CheckImage() {
  const bool was_ok = image_ok_;
  image_ok_ = false;
  std::vector<std::string> lines = Collect([this] {
    const std::optional<std::string> path = settings_->PathEditText(ctl::kOriginPath);
    image_ok_ = settings_->LoadImageFile(path ? path->c_str() : nullptr) == S_OK;
    // as "Read From File" says it
    if (!image_ok_) settings_->ShowMessage(msg::kReadFileError);
  });
  if (image_ok_) {
    image_report_->setText(Summarise(*settings_));
    image_report_->setStyleSheet(QString());
    messages_->clear();
  } else {
    QStringList texts;
    for (const std::string& line : lines) texts << QString::fromStdString(line);
    image_report_->setText(texts.join(QLatin1Char('\n')));
    image_report_->setStyleSheet(QStringLiteral("color: #b00000; font-weight: bold;"));
  }
  if (image_ok_ != was_ok || !image_ok_) Q_EMIT ImageChecked(image_ok_);
  return image_ok_;
}

bool SetupPanel::CheckOverrides(const std::optional<std::string>& serial) {
  if (!CheckImage()) return false;
  // One unit's road on a bus without chips: it stops at the image, an override, or the search.
  station::UnitChoices choices = Choices();
  choices.serial = serial;
  NullHidBackend nothing;
  HeadlessControls controls;
  std::vector<std::string> lines;
  station::UnitResult result;
  {
    CQZ670xWriteEepromMPUtyDlg dialog(controls, nothing, settings_->GetClock(), nullptr,
                                      app_name_);
    (void)dialog.OnInitDialog();
    station::UnitHooks hooks;
    hooks.on_message = [&lines](const MessageBoxRequest& message) {
      lines.push_back(message.text);
    };
    hooks.replug_timeout = {};
    result = station::RunUnit(dialog, controls, choices, hooks);
    if (!result.exited) dialog.OnExit();
  }
  const bool rejected = result.exit == station::Exit::kImageRejected ||
                        result.exit == station::Exit::kOverrideRejected;
  ShowMessages(rejected ? lines : std::vector<std::string>{});
  return !rejected;
}

std::string SetupPanel::ImagePath() const { return controls_->Text(ctl::kOriginPath); }

bool SetupPanel::FactoryMode() const { return controls_->IsChecked(ctl::kFactoryMode); }

std::string SetupPanel::SerialFormat() const {
  if (job_) return job_->job.serial ? job_->job.serial->format : std::string();
  return serial_format_->text().toStdString();
}

std::optional<std::uint64_t> SetupPanel::NextSerial() const {
  if (job_) {
    if (!job_->job.serial) return std::nullopt;
    return job_->job.serial->start;
  }
  if (next_serial_->text().isEmpty()) return std::nullopt;
  bool ok = false;
  const qulonglong value = next_serial_->text().toULongLong(&ok);
  if (!ok) return std::nullopt;
  return static_cast<std::uint64_t>(value);
}

std::string SetupPanel::LogFile() const { return log_file_->text().toStdString(); }

std::vector<std::string> SetupPanel::Ports() const {
  std::vector<std::string> ports;
  if (all_ports_->isChecked()) return ports;
  for (const QString& part :
       ports_->text().split(QRegularExpression(QStringLiteral("[,\\s]+")), Qt::SkipEmptyParts)) {
    ports.push_back(part.toStdString());
  }
  return ports;
}

station::UnitChoices SetupPanel::Choices() const {
  if (job_) return jobs::ChoicesFor(*job_);
  station::UnitChoices choices;
  choices.image = ImagePath();
  choices.factory = FactoryMode();
  choices.evb = controls_->IsChecked(ctl::kUseEvb);
  struct Chosen {
    int box;
    int edit;
    bool checked;
    std::string text;
  };
  std::vector<Chosen> chosen;
  for (const OverrideRow& row : kOverrideRows) {
    chosen.push_back({row.box, row.edit, controls_->IsChecked(row.box), controls_->Text(row.edit)});
  }
  choices.overrides = [chosen](DialogControls& target) {
    for (const Chosen& each : chosen) {
      target.SetChecked(each.box, each.checked);
      if (each.checked) target.SetText(each.edit, each.text);
    }
  };
  return choices;
}

std::vector<std::pair<std::string, std::string>> SetupPanel::AppliedOverrides() const {
  if (job_) return job_->job.overrides;
  std::vector<std::pair<std::string, std::string>> applied;
  for (const OverrideRow& row : kOverrideRows) {
    if (controls_->IsChecked(row.box)) applied.emplace_back(row.name, controls_->Text(row.edit));
  }
  return applied;
}

void SetupPanel::SetLocked(bool locked) {
  locked_ = locked;
  ApplyLocks();
}

void SetupPanel::ApplyLocks() {
  // The rules decide what is enabled within the dialog's controls: locking disables their
  // frames, unlocking gives the rules' own states back. A job's settings are never edited, and
  // a station that requires signed jobs takes none but a job's.
  const bool choices_fixed = locked_ || job_ || station_settings_.require_signed_jobs;
  for (QObject* child : children()) {
    auto* box = qobject_cast<QGroupBox*>(child);
    if (box == nullptr) continue;
    const bool station_box = box->isAncestorOf(log_file_);
    box->setEnabled(station_box ? !locked_ : !choices_fixed);
  }
  serial_format_->setEnabled(!choices_fixed);
  next_serial_->setEnabled(!choices_fixed);
  load_job_->setEnabled(!locked_);
}

void SetupPanel::SetStationSettings(const jobs::StationSettings& settings) {
  station_settings_ = settings;
  if (!settings.log.empty()) log_file_->setText(QString::fromStdString(settings.log));
  if (!settings.ports.empty()) {
    QStringList ports;
    for (const std::string& port : settings.ports) ports << QString::fromStdString(port);
    ports_->setText(ports.join(QStringLiteral(", ")));
    listed_ports_->setChecked(true);
  }
  if (settings.require_signed_jobs) {
    image_report_->setText(QStringLiteral("This station runs only signed jobs: Load job…"));
  }
  ApplyLocks();
}

bool SetupPanel::LoadJob(const std::string& path) {
  std::string station = station_settings_.station;
  if (station.empty()) station = QSysInfo::machineHostName().toStdString();
  jobs::JobRefusal refusal;
  std::optional<jobs::LoadedJob> loaded =
      jobs::PrepareJobRun(path, station_settings_.Policy(station), &refusal);
  if (!loaded) {
    std::vector<std::string> lines;
    for (const MessageBoxRequest& message : refusal.messages) lines.push_back(message.text);
    if (!refusal.message.empty()) lines.push_back(refusal.message);
    ShowMessages(lines);
    return false;
  }
  job_ = std::move(loaded);
  const jobs::Job& job = job_->job;
  // the job's settings in the dialog's controls, read-only
  settings_->UseOriginBytes(std::make_shared<const std::vector<std::uint8_t>>(job.image));
  controls_->SetText(ctl::kOriginPath, path);
  controls_->SetChecked(ctl::kFactoryMode, job.factory);
  controls_->SetChecked(ctl::kDeveloperMode, !job.factory);
  settings_->UpdateModeControls();
  settings_->ResetDescriptorControls();
  station::UnitChoices choices = jobs::ChoicesFor(*job_);
  if (choices.overrides) choices.overrides(*controls_);
  controls_->SetChecked(ctl::kUseEvb, job.evb);
  if (job.evb) settings_->UseEvbIdsControls();
  serial_format_->setText(QString::fromStdString(job.serial ? job.serial->format : ""));
  next_serial_->setText(job.serial ? QString::number(job.serial->start) : QString());
  QStringList lines;
  for (const auto& [name, value] : jobs::DescribeJob(job)) {
    lines << QString::fromStdString(name + ": " + value);
  }
  if (!job_->verified) lines << QStringLiteral("signature: not checked (no trusted keys configured)");
  job_report_->setText(lines.join(QLatin1Char('\n')));
  messages_->clear();
  ApplyLocks();
  (void)CheckImage();
  Q_EMIT ImageChecked(image_ok_);
  return true;
}

QString SetupPanel::JobReport() const { return job_report_->text(); }

}  // namespace qz::app
