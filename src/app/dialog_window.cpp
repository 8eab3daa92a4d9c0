#include "app/dialog_window.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFontMetrics>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSocketNotifier>

#include <algorithm>
#include <map>
#include <utility>

#include "app/app_icon.h"
#include "dialog/control_table.h"
#include "dialog/messages.h"
#include "dialog/qz670x_dialog.h"
#include "hid/hotplug.h"
#include "station/unit_run.h"

namespace qz::app {

namespace {

Qt::Alignment AlignmentOf(TextAlign align) {
  switch (align) {
    case TextAlign::kLeft:
      return Qt::AlignLeft;
    case TextAlign::kCenter:
      return Qt::AlignHCenter;
    case TextAlign::kRight:
      return Qt::AlignRight;
  }
  return Qt::AlignLeft;
}

QString Caption(const ControlSpec& spec) {
  return QString::fromUtf8(spec.caption.data(), static_cast<qsizetype>(spec.caption.size()));
}

QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

bool AskYesNo(QWidget* parent, const QString& caption, const QString& text) {
  QMessageBox box(QMessageBox::Warning, caption, text, QMessageBox::Yes | QMessageBox::No,
                  parent);
  box.setTextFormat(Qt::PlainText);
  box.setDefaultButton(QMessageBox::No);
  box.setEscapeButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

}  // namespace

std::unique_ptr<QFileDialog> MakeBrowseDialog(QWidget* parent) {
  auto dialog = std::make_unique<QFileDialog>(parent);
  dialog->setAcceptMode(QFileDialog::AcceptOpen);
  dialog->setFileMode(QFileDialog::AnyFile);
  // One entry, shown as "All Files (*.bin) " with the pattern *.bin.
  dialog->setNameFilter(QStringLiteral("All Files (*.bin) (*.bin)"));
  return dialog;
}

std::optional<QString> ChooseFile(
    QWidget* parent, const std::function<std::optional<QString>(QWidget*)>& chooser) {
  if (chooser) return chooser(parent);
  std::unique_ptr<QFileDialog> dialog = MakeBrowseDialog(parent);
  if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty()) return std::nullopt;
  return QDir::toNativeSeparators(dialog->selectedFiles().constFirst());
}

QWidget* MakeControlWidget(const ControlSpec& spec, QWidget* parent, QButtonGroup* radios,
                           const QString& frame_style) {
  QWidget* widget = nullptr;
  switch (spec.kind) {
    case ControlKind::kDefaultPushButton:
    case ControlKind::kPushButton: {
      auto* button = new QPushButton(Caption(spec), parent);
      button->setAutoDefault(true);
      button->setDefault(spec.kind == ControlKind::kDefaultPushButton);
      widget = button;
      break;
    }
    case ControlKind::kGroupBox: {
      auto* group = new QGroupBox(Caption(spec), parent);
      group->setStyleSheet(frame_style);
      // a frame only: clicks go through to the controls drawn inside it
      group->setAttribute(Qt::WA_TransparentForMouseEvents);
      widget = group;
      break;
    }
    case ControlKind::kLabel: {
      auto* label = new QLabel(Caption(spec), parent);
      label->setAlignment(AlignmentOf(spec.align) | Qt::AlignTop);
      label->setTextFormat(Qt::PlainText);
      widget = label;
      break;
    }
    case ControlKind::kEdit: {
      auto* edit = new QLineEdit(parent);
      edit->setMaxLength(EditTextLimit(spec.id));
      edit->setAlignment(AlignmentOf(spec.align) | Qt::AlignVCenter);
      widget = edit;
      break;
    }
    case ControlKind::kRadioButton: {
      auto* radio = new QRadioButton(Caption(spec), parent);
      radios->addButton(radio, spec.id);
      widget = radio;
      break;
    }
    case ControlKind::kCheckBox:
      widget = new QCheckBox(Caption(spec), parent);
      break;
    case ControlKind::kProgressBar: {
      auto* bar = new QProgressBar(parent);
      bar->setRange(0, 100);
      bar->setValue(0);
      bar->setTextVisible(false);
      widget = bar;
      break;
    }
  }
  widget->setObjectName(spec.id == ctl::kNone ? QString()
                                              : QStringLiteral("ctl%1").arg(spec.id));
  widget->setProperty("controlId", spec.id);
  return widget;
}

DialogWindow::DialogWindow(HidBackend& backend, Clock& clock, HotplugSource* hotplug,
                           std::string app_name, QWidget* parent)
    : QDialog(parent),
      app_name_(std::move(app_name)),
      hotplug_(hotplug),
      exit_rules_([this] { return dialog_.get(); }, [this] { EndDialog(); },
                  [this] { return AskStopQuestion(); }) {
  // The job's close step comes through Guarded too (it enables "Write EEPROM" again, after the
  // outcome box was dismissed): a signal's exit waits for exactly that.
  exit_rules_.SetAfterOutermost([this] {
    if (exit_after_job_ && dialog_ && !dialog_->JobActive() &&
        Control(ctl::kWriteEeprom)->isEnabled()) {
      EndDialog();
    }
  });
  // A window of its own in the task bar, with a title and no close box.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowMinimizeButtonHint);
  setWindowTitle(FromUtf8(kTemplateCaption));
  setWindowIcon(AppIcon());

  BuildControls();

  std::map<int, QWidget*> by_id;
  for (std::size_t i = 0; i < kControlTable.size(); ++i) {
    if (kControlTable[i].id != ctl::kNone) by_id[kControlTable[i].id] = table_widgets_[i];
  }
  controls_ = std::make_unique<QtDialogControls>(this, std::move(by_id), radios_);
  controls_->SetTaskRunner([this](const std::function<void()>& task) { Guarded(task); });
  dialog_ = std::make_unique<CQZ670xWriteEepromMPUtyDlg>(*controls_, backend, clock, hotplug,
                                                         app_name_);
  ConnectMessageMap();

  Guarded([this] {
    dialog_->OnInitDialog();
    setWindowTitle(FromUtf8(kWindowTitle));
  });
  StartHotplugNotifier();
}

DialogWindow::~DialogWindow() {
  hotplug_notifier_.reset();
  dialog_.reset();  // stops and joins the worker, closes the link
  if (controls_) controls_->Shutdown();
}

QWidget* DialogWindow::Control(int id) const { return controls_->Widget(id); }

void DialogWindow::SetReplug(station::ReplugMode mode, station::PowerReplugger* replugger,
                             HidBackend& bus) {
  replug_ = station::MakeReplugHandler(mode, replugger);
  if (!replug_->NeedsDevice()) {
    controls_->SetMessageFilter(nullptr);
    return;
  }
  controls_->SetMessageFilter([this, &bus](const MessageBoxRequest& message) {
    if (message.about != MessageAbout::kReplug || dialog_ == nullptr) return false;
    // the chip has just been erased and released, and still sits on its port
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const station::ReplugResult done =
        replug_->Replug(station::ReplugCall{bus, station::ChipDevice(bus), {}, {}, nullptr});
    QApplication::restoreOverrideCursor();
    if (done.by == station::ReplugBy::kPower) return true;
    if (done.by == station::ReplugBy::kFailed) {
      // no write on a chip that may not be back in ROM mode
      dialog_->CancelWriteRequest();
      QMessageBox box(QMessageBox::Critical, QString::fromStdString(message.caption),
                      QString::fromStdString(done.failure), QMessageBox::Ok, this);
      box.exec();
      return true;
    }
    // auto: the operator's re-plug, with the reason beside the box's own text (once a port)
    if (done.fallback.empty()) return false;
    QMessageBox box(QMessageBox::Information, QString::fromStdString(message.caption),
                    QString::fromStdString(message.text), QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.setInformativeText(QString::fromStdString(done.fallback));
    box.exec();
    return true;
  });
}

void DialogWindow::SetMessagePresenter(QtDialogControls::MessagePresenter presenter) {
  controls_->SetMessagePresenter(std::move(presenter));
}

void DialogWindow::SetFileChooser(FileChooser chooser) { file_chooser_ = std::move(chooser); }

void DialogWindow::SetConfirmer(Confirmer confirmer) { confirmer_ = std::move(confirmer); }

void DialogWindow::BringToFront() {
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
}

// --- controls ----------------------------------------------------------------------------

void DialogWindow::BuildControls() {
  radios_ = new QButtonGroup(this);
  radios_->setExclusive(true);
  const QFontMetrics metrics(font());
  // A frame with its title on the top line, as the platform the table was drawn for has it.
  const QString frame_style =
      QStringLiteral("QGroupBox { border: 1px solid palette(mid); border-radius: 2px;"
                     " margin-top: %1px; }"
                     "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
                     " left: 6px; padding: 0px 1px; }")
          .arg(metrics.height() / 2);

  for (const ControlSpec& spec : kControlTable) {
    QWidget* widget = MakeControlWidget(spec, this, radios_, frame_style);
    if (!spec.visible) widget->setVisible(false);
    table_widgets_.push_back(widget);
  }

  PlaceControls();
  SetTabOrder();
  // Frames go to the back so they never paint over the controls placed inside them.
  for (QWidget* widget : table_widgets_) {
    if (qobject_cast<QGroupBox*>(widget) != nullptr) widget->lower();
  }
}

void DialogWindow::PlaceControls() {
  // Dialog units from the font, widened where a caption would not fit its control.
  const DialogBaseUnits font_units = BaseUnitsOf(font());
  units_ = font_units;
  const QFontMetrics metrics(font());
  for (std::size_t i = 0; i < kControlTable.size(); ++i) {
    const ControlSpec& spec = kControlTable[i];
    QWidget* widget = table_widgets_[i];
    int needed = 0;
    if (qobject_cast<QCheckBox*>(widget) != nullptr ||
        qobject_cast<QRadioButton*>(widget) != nullptr) {
      needed = widget->sizeHint().width();
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
      needed = metrics.horizontalAdvance(label->text()) + 2;
    } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
      needed = metrics.horizontalAdvance(button->text()) + 12;
    }
    units_ = WidenToFit(units_, needed, spec.width);
  }
  // A caption far too wide for its place must not blow the window up.
  units_.width = std::min(units_.width, 2 * font_units.width);

  setFixedSize(ToPixels(units_, kDialogWidthDu, kDialogHeightDu));
  for (std::size_t i = 0; i < kControlTable.size(); ++i) {
    const ControlSpec& spec = kControlTable[i];
    table_widgets_[i]->setGeometry(ToPixels(units_, spec.x, spec.y, spec.width, spec.height));
  }
}

void DialogWindow::SetTabOrder() {
  QWidget* previous_tab_stop = nullptr;
  for (std::size_t i = 0; i < kControlTable.size(); ++i) {
    const ControlSpec& spec = kControlTable[i];
    QWidget* widget = table_widgets_[i];
    const bool focusable = spec.kind != ControlKind::kGroupBox &&
                           spec.kind != ControlKind::kLabel &&
                           spec.kind != ControlKind::kProgressBar;
    if (!focusable) {
      widget->setFocusPolicy(Qt::NoFocus);
      continue;
    }
    // Controls outside the tab order still take the focus when clicked.
    widget->setFocusPolicy(spec.tab_stop ? Qt::StrongFocus : Qt::ClickFocus);
    if (!spec.tab_stop) continue;
    if (previous_tab_stop != nullptr) QWidget::setTabOrder(previous_tab_stop, widget);
    previous_tab_stop = widget;
  }
}

void DialogWindow::ConnectMessageMap() {
  auto on_click = [this](int id, std::function<void()> handler) {
    auto* button = qobject_cast<QAbstractButton*>(Control(id));
    connect(button, &QAbstractButton::clicked, this, [this, handler = std::move(handler)] {
      if (dialog_) Guarded(handler);
    });
  };
  connect(qobject_cast<QAbstractButton*>(Control(ctl::kExit)), &QAbstractButton::clicked, this,
          [this] { (void)RequestExit(); });
  on_click(ctl::kBrowseOrigin, [this] { Browse(ctl::kOriginPath); });
  on_click(ctl::kBrowseUpdate, [this] { Browse(ctl::kUpdatePath); });
  // every other button's click goes to the dialog object's message map
  for (const ControlSpec& spec : kControlTable) {
    if (spec.id == ctl::kExit || spec.id == ctl::kBrowseOrigin || spec.id == ctl::kBrowseUpdate ||
        qobject_cast<QAbstractButton*>(Control(spec.id)) == nullptr) {
      continue;
    }
    on_click(spec.id, [this, id = spec.id] { (void)dialog_->OnCommand(id); });
  }
}

void DialogWindow::ShowMessage(std::string_view text, MessageIcon icon) {
  if (dialog_) dialog_->ShowMessage(text, {}, icon);
}

void DialogWindow::Browse(int target_edit) {
  const std::optional<QString> path = ChooseFile(this, file_chooser_);
  if (!path) return;  // cancelled: the edit keeps its text
  if (path->size() > kMaxChosenPathChars) {
    ShowMessage(msg::kPathTooLong, MessageIcon::kStop);
    return;
  }
  controls_->SetText(target_edit, path->toStdString());
}

// --- device changes ----------------------------------------------------------------------

void DialogWindow::StartHotplugNotifier() {
  if (hotplug_ == nullptr || hotplug_->PollFd() < 0) return;
  hotplug_notifier_ = std::make_unique<QSocketNotifier>(hotplug_->PollFd(),
                                                        QSocketNotifier::Read);
  connect(hotplug_notifier_.get(), &QSocketNotifier::activated, this, [this] { DrainHotplug(); });
}

void DialogWindow::DrainHotplug() {
  if (!dialog_ || hotplug_ == nullptr) return;
  // Each arrival or removal re-runs the dialog's probe rule (which waits while a job runs).
  Guarded([this] { (void)dialog_->DispatchHotplugEvents(); });
}

// --- closing -----------------------------------------------------------------------------

void DialogWindow::OnTerminationSignal() {
  if (!dialog_) return;
  if (exit_after_job_ || !dialog_->JobActive()) {
    (void)RequestExit(/*confirmed=*/true);
    return;
  }
  // Cutting the job short would leave the chip without a header; it finishes first.
  exit_after_job_ = true;
  setWindowTitle(FromUtf8(kWindowTitle) + QStringLiteral(" - closing after this write"));
}

bool DialogWindow::AskStopQuestion() {
  const QString question = FromUtf8(msg::kStopWriteQuestion);
  return confirmer_ ? confirmer_(question)
                    : AskYesNo(this, QString::fromStdString(app_name_), question);
}

void DialogWindow::EndDialog() {
  if (!dialog_) return;
  dialog_->OnExit();  // stops and joins the worker, releases the device
  hotplug_notifier_.reset();
  dialog_.reset();
  controls_->Shutdown();
  done(QDialog::Accepted);
}

void DialogWindow::reject() { (void)RequestExit(); }

void DialogWindow::closeEvent(QCloseEvent* event) {
  // A deferred exit closes the window itself once the running handler returns.
  if (RequestExit() == ExitOutcome::kEnded) {
    event->accept();
  } else {
    event->ignore();
  }
}

}  // namespace qz::app
