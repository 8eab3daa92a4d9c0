#include "app/qt_dialog_controls.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMetaObject>
#include <QProgressBar>
#include <QRadioButton>
#include <QString>
#include <QWidget>

#include <algorithm>
#include <utility>

#include "hid/platform/hidraw_access.h"

namespace qz::app {

namespace {

QMessageBox::Icon IconOf(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::kNone:
      return QMessageBox::NoIcon;
    case MessageIcon::kStop:
      return QMessageBox::Critical;
    case MessageIcon::kInformation:
      return QMessageBox::Information;
  }
  return QMessageBox::NoIcon;
}

QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

QtDialogControls::QtDialogControls(QWidget* owner, std::map<int, QWidget*> widgets,
                                   QButtonGroup* radios)
    : owner_(owner),
      widgets_(std::move(widgets)),
      radios_(radios),
      // Qt carries only the wake-up; the calls travel through the queue under its own lock.
      calls_([this] { QMetaObject::invokeMethod(this, "RunQueued", Qt::QueuedConnection); }) {}

QtDialogControls::~QtDialogControls() { Shutdown(); }

bool QtDialogControls::OnUiThread() const { return calls_.OnUiThread(); }

QWidget* QtDialogControls::Widget(int id) const {
  auto it = widgets_.find(id);
  return it == widgets_.end() ? nullptr : it->second;
}

void QtDialogControls::SetMessagePresenter(MessagePresenter presenter) {
  presenter_ = std::move(presenter);
}

void QtDialogControls::SetTaskRunner(TaskRunner runner) { calls_.SetTaskRunner(std::move(runner)); }

// --- getting to the UI thread ------------------------------------------------------------

void QtDialogControls::PostToUi(std::function<void()> task) { calls_.Post(std::move(task)); }

void QtDialogControls::StopWaitingForUi() { calls_.StopWaiting(); }

void QtDialogControls::Shutdown() { calls_.Shutdown(); }

// --- controls ----------------------------------------------------------------------------

bool QtDialogControls::IsChecked(int id) const {
  auto result = std::make_shared<bool>(false);
  const bool ran = RunOnUi([this, id, result] {
    if (auto* button = qobject_cast<QAbstractButton*>(Widget(id))) *result = button->isChecked();
  });
  return ran && *result;
}

void QtDialogControls::SetChecked(int id, bool checked) {
  RunOnUi([this, id, checked] {
    auto* button = qobject_cast<QAbstractButton*>(Widget(id));
    if (button == nullptr) return;
    // An exclusive group refuses to uncheck its checked button; a program may, as with the
    // platform's check message.
    const bool in_group = radios_ != nullptr && button->group() == radios_;
    if (in_group && !checked) radios_->setExclusive(false);
    button->setChecked(checked);
    if (in_group && !checked) radios_->setExclusive(true);
  });
}

bool QtDialogControls::IsEnabled(int id) const {
  auto result = std::make_shared<bool>(false);
  const bool ran = RunOnUi([this, id, result] {
    if (QWidget* widget = Widget(id)) *result = widget->isEnabled();
  });
  return ran && *result;
}

void QtDialogControls::SetEnabled(int id, bool enabled) {
  RunOnUi([this, id, enabled] {
    if (QWidget* widget = Widget(id)) widget->setEnabled(enabled);
  });
}

bool QtDialogControls::IsVisible(int id) const {
  auto result = std::make_shared<bool>(false);
  const bool ran = RunOnUi([this, id, result] {
    // Visible as far as the control itself is concerned, before the window is first shown too.
    if (QWidget* widget = Widget(id)) *result = widget->isVisibleTo(owner_);
  });
  return ran && *result;
}

void QtDialogControls::SetVisible(int id, bool visible) {
  RunOnUi([this, id, visible] {
    if (QWidget* widget = Widget(id)) widget->setVisible(visible);
  });
}

std::string QtDialogControls::Text(int id) const {
  auto result = std::make_shared<std::string>();
  const bool ran = RunOnUi([this, id, result] {
    QWidget* widget = Widget(id);
    QString text;
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
      text = edit->text();
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
      text = button->text();
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
      text = label->text();
    } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
      text = group->title();
    }
    *result = text.toStdString();
  });
  return ran ? *result : std::string();
}

void QtDialogControls::SetText(int id, std::string_view text) {
  RunOnUi([this, id, value = FromUtf8(text)] {
    QWidget* widget = Widget(id);
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
      edit->setText(value);
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
      button->setText(value);
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
      label->setText(value);
    } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
      group->setTitle(value);
    }
  });
}

void QtDialogControls::SetProgressRange(int id, int low, int high) {
  RunOnUi([this, id, low, high] {
    if (auto* bar = qobject_cast<QProgressBar*>(Widget(id))) bar->setRange(low, high);
  });
}

void QtDialogControls::SetProgress(int id, int position) {
  if (!progress_.NeedsUpdate(id, position, OnUiThread())) return;
  RunOnUi([this, id, position] {
    auto* bar = qobject_cast<QProgressBar*>(Widget(id));
    if (bar == nullptr) return;
    // The platform's bar clamps a position outside its range; QProgressBar would ignore it.
    bar->setValue(std::clamp(position, bar->minimum(), std::max(bar->minimum(), bar->maximum())));
  });
}

int QtDialogControls::Progress(int id) const {
  auto result = std::make_shared<int>(0);
  const bool ran = RunOnUi([this, id, result] {
    if (auto* bar = qobject_cast<QProgressBar*>(Widget(id))) *result = bar->value();
  });
  return ran ? *result : 0;
}

void QtDialogControls::ShowMessage(const MessageBoxRequest& message) {
  RunOnUi([this, message] { Present(message); });
}

void QtDialogControls::SetMessageFilter(std::function<bool(const MessageBoxRequest&)> filter) {
  filter_ = std::move(filter);
}

void QtDialogControls::Present(const MessageBoxRequest& message) {
  if (filter_ && filter_(message)) return;
  if (presenter_) {
    presenter_(message);
    return;
  }
  QMessageBox box(IconOf(message.icon), QString::fromStdString(message.caption),
                  QString::fromStdString(message.text), QMessageBox::Ok, owner_);
  box.setTextFormat(Qt::PlainText);
  // Beside "not found", its own text unchanged: a chip that is there but cannot be opened.
  if (message.about == MessageAbout::kDeviceNotFound) {
    std::string hints;
    for (const std::string& hint : UnopenableChipHints()) hints += (hints.empty() ? "" : "\n") + hint;
    if (!hints.empty()) box.setInformativeText(QString::fromStdString(hints));
  }
  // Beside a refusal or an outcome, its own text unchanged: why.
  if (!message.detail.empty()) box.setInformativeText(QString::fromStdString(message.detail));
  box.exec();
}

}  // namespace qz::app
