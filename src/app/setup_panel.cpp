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
#include <QVBoxLayout>

#include <memory>
#include <utility>

#include "app/dialog_window.h"
#include "app/qt_dialog_controls.h"
#include "dialog/control_table.h"

namespace qz::app {

namespace {

QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString Lines(const std::vector<std::string>& lines) {
  QStringList texts;
  for (const std::string& line : lines) texts << QString::fromStdString(line);
  return texts.join(QLatin1Char('\n'));
}

}  // namespace

SetupPanel::SetupPanel(Clock& clock, std::string app_name, QWidget* parent)
    : QWidget(parent), app_name_(std::move(app_name)) {
  radios_ = new QButtonGroup(this);
  radios_->setExclusive(true);
  for (int id : production::StationSetup::Controls()) {
    const std::optional<ControlSpec> spec = FindControl(id);
    widgets_[id] = MakeControlWidget(*spec, this, radios_);
  }
  BuildLayout();

  controls_ = std::make_unique<QtDialogControls>(this, widgets_, radios_);
  setup_ = std::make_unique<production::StationSetup>(*controls_, clock, app_name_);

  // the dialog's message map, for the controls shown here
  for (int id : production::StationSetup::Controls()) {
    auto* button = qobject_cast<QAbstractButton*>(Control(id));
    if (button == nullptr) continue;
    connect(button, &QAbstractButton::clicked, this, [this, id] {
      if (id == ctl::kBrowseOrigin) {
        BrowseImage();
      } else {
        (void)setup_->OnClicked(id);
      }
    });
  }
  connect(qobject_cast<QLineEdit*>(Control(ctl::kOriginPath)), &QLineEdit::editingFinished, this,
          [this] { (void)CheckImage(); });
}

SetupPanel::~SetupPanel() {
  setup_.reset();
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

void SetupPanel::ShowMessages(const std::vector<std::string>& lines) {
  setup_->SetMessages(lines);
  messages_->setText(Lines(lines));
}

void SetupPanel::ShowSetup() {
  if (!setup_->ImageReport().empty()) image_report_->setText(Lines(setup_->ImageReport()));
  image_report_->setStyleSheet(setup_->ImageRefused()
                                   ? QStringLiteral("color: #b00000; font-weight: bold;")
                                   : QString());
  messages_->setText(Lines(setup_->Messages()));
  if (setup_->Job() != nullptr) job_report_->setText(Lines(setup_->JobReport()));
}

void SetupPanel::BrowseImage() {
  const std::optional<QString> path = ChooseFile(this, file_chooser_);
  if (!path) return;  // cancelled: the edit keeps its text
  const bool was_ok = setup_->ImageOk();
  const std::optional<bool> ok = setup_->ChooseImage(path->toStdString());
  if (!ok) {
    messages_->setText(Lines(setup_->Messages()));  // refused before any check
    return;
  }
  ShowSetup();
  if (*ok != was_ok || !*ok) Q_EMIT ImageChecked(*ok);
}

void SetupPanel::BrowseLogFile() {
  const QString path = QFileDialog::getSaveFileName(
      this, QStringLiteral("Production log"), log_file_->text(),
      QStringLiteral("Production log (*.sqlite *.db);;All files (*)"), nullptr,
      QFileDialog::DontConfirmOverwrite);
  if (!path.isEmpty()) log_file_->setText(QDir::toNativeSeparators(path));
}

bool SetupPanel::CheckImage() {
  const bool was_ok = setup_->ImageOk();
  const bool ok = setup_->CheckImage();
  ShowSetup();
  if (ok != was_ok || !ok) Q_EMIT ImageChecked(ok);
  return ok;
}

bool SetupPanel::CheckOverrides(const std::optional<std::string>& serial) {
  const bool was_ok = setup_->ImageOk();
  const bool ok = setup_->CheckOverrides(serial);
  ShowSetup();
  if (setup_->ImageOk() != was_ok || !setup_->ImageOk()) Q_EMIT ImageChecked(setup_->ImageOk());
  return ok;
}

std::string SetupPanel::ImagePath() const { return setup_->ImagePath(); }

bool SetupPanel::FactoryMode() const { return setup_->FactoryMode(); }

std::string SetupPanel::SerialFormat() const {
  return setup_->SerialFormat(serial_format_->text().toStdString());
}

std::optional<std::uint64_t> SetupPanel::NextSerial() const {
  return setup_->NextSerial(next_serial_->text().toStdString());
}

std::string SetupPanel::LogFile() const { return log_file_->text().toStdString(); }

std::vector<std::string> SetupPanel::Ports() const {
  if (all_ports_->isChecked()) return {};
  return production::ParsePortList(ports_->text().toStdString());
}

station::UnitChoices SetupPanel::Choices() const { return setup_->Choices(); }

std::vector<std::pair<std::string, std::string>> SetupPanel::AppliedOverrides() const {
  return setup_->AppliedOverrides();
}

std::optional<production::StationStart> SetupPanel::PrepareStart(std::string* error) {
  const bool was_ok = setup_->ImageOk();
  std::optional<production::StationStart> start = setup_->PrepareStart(
      serial_format_->text().toStdString(), next_serial_->text().toStdString(), error);
  ShowSetup();
  if (setup_->ImageOk() != was_ok || !setup_->ImageOk()) Q_EMIT ImageChecked(setup_->ImageOk());
  return start;
}

void SetupPanel::SetLocked(bool locked) {
  locked_ = locked;
  ApplyLocks();
}

void SetupPanel::ApplyLocks() {
  // The rules decide what is enabled within the dialog's controls: locking disables their
  // frames, unlocking gives the rules' own states back. A job's settings are never edited, and
  // a station that requires signed jobs takes none but a job's.
  const bool choices_fixed = setup_->ChoicesFixed(locked_);
  for (QObject* child : children()) {
    auto* box = qobject_cast<QGroupBox*>(child);
    if (box == nullptr) continue;
    const bool station_box = box->isAncestorOf(log_file_);
    box->setEnabled(station_box ? !locked_ : !choices_fixed);
  }
  log_file_->setReadOnly(setup_->LogFixed(locked_));
  log_browse_->setEnabled(!setup_->LogFixed(locked_));
  serial_format_->setEnabled(!choices_fixed);
  next_serial_->setEnabled(!choices_fixed);
  load_job_->setEnabled(!locked_);
}

void SetupPanel::SetStationSettings(const production::StationSettings& settings) {
  setup_->SetStationSettings(settings);
  if (!settings.log.empty()) log_file_->setText(QString::fromStdString(settings.log));
  if (!settings.ports.empty()) {
    QStringList ports;
    for (const std::string& port : settings.ports) ports << QString::fromStdString(port);
    ports_->setText(ports.join(QStringLiteral(", ")));
    listed_ports_->setChecked(true);
  }
  ShowSetup();
  ApplyLocks();
}

bool SetupPanel::LoadJob(const std::string& path) {
  const bool loaded = setup_->LoadJob(path);
  if (const jobs::LoadedJob* job = setup_->Job(); loaded && job != nullptr) {
    const std::optional<jobs::JobSerial>& serial = job->job.serial;
    serial_format_->setText(QString::fromStdString(serial ? serial->format : ""));
    next_serial_->setText(serial ? QString::number(serial->start) : QString());
    ApplyLocks();
  }
  ShowSetup();
  if (loaded) Q_EMIT ImageChecked(setup_->ImageOk());
  return loaded;
}

QString SetupPanel::JobReport() const { return job_report_->text(); }

}  // namespace qz::app
