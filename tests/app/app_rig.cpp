#include "app_rig.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTest>

#include "image/image_buffer.h"
#include "image/sample_image.h"

namespace qz::app::test {

WindowRig::WindowRig(const std::string& sim_mode, const std::string& eeprom_file,
                     const std::vector<std::string>& faults) {
  cli::DeviceOptions options;
  options.simulate = true;
  options.sim_mode = sim_mode;
  options.sim_eeprom = eeprom_file;
  options.sim_faults = faults;
  std::string error;
  session_ = cli::DeviceSession::Create(options, &error, &clock_);
  if (!session_) qFatal("device session: %s", error.c_str());
  window_ = std::make_unique<DialogWindow>(session_->Backend(), clock_, session_->Hotplug(),
                                           "qz670x-mp");
  window_->SetMessagePresenter(
      [this](const MessageBoxRequest& message) { messages_.push_back(message); });
  window_->show();
}

WindowRig::~WindowRig() { DestroyWindow(); }

void WindowRig::DestroyWindow() { window_.reset(); }

QWidget* WindowRig::Control(int id) {
  QWidget* widget = window_->Control(id);
  if (widget == nullptr) qFatal("no control %d", id);
  return widget;
}

std::vector<std::string> WindowRig::MessageTexts() const {
  std::vector<std::string> texts;
  for (const MessageBoxRequest& message : messages_) texts.push_back(message.text);
  return texts;
}

void Click(QWidget* control) {
  QPoint where = control->rect().center();
  if (qobject_cast<QCheckBox*>(control) != nullptr ||
      qobject_cast<QRadioButton*>(control) != nullptr) {
    QStyleOptionButton option;
    option.initFrom(control);
    const bool check_box = qobject_cast<QCheckBox*>(control) != nullptr;
    where = control->style()
                ->subElementRect(check_box ? QStyle::SE_CheckBoxIndicator
                                           : QStyle::SE_RadioButtonIndicator,
                                 &option, control)
                .center();
  }
  QTest::mouseClick(control, Qt::LeftButton, Qt::NoModifier, where);
}

void TypeInto(QWidget* edit, const QString& text) {
  auto* line = qobject_cast<QLineEdit*>(edit);
  if (line == nullptr) qFatal("not an edit");
  line->clear();
  QTest::keyClicks(line, text);
}

std::vector<std::uint8_t> WriteSampleImage(const QString& path) {
  ImageBuffer image;
  BuildSampleImage({}, image);
  std::vector<std::uint8_t> bytes(image.bytes.begin(), image.bytes.begin() + kImageSize);
  WriteFile(path, bytes, bytes.size());
  return bytes;
}

void WriteFile(const QString& path, const std::vector<std::uint8_t>& bytes, std::size_t count) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) qFatal("cannot write a file");
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(count));
}

std::vector<std::uint8_t> ReadFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  const QByteArray data = file.readAll();
  return {data.begin(), data.end()};
}

}  // namespace qz::app::test

#if defined(__SANITIZE_THREAD__)
// Qt is not built with ThreadSanitizer: its own threads (file-system watcher, thread pool) take
// and free memory and locks behind the sanitizer's back. Interceptors called from such
// uninstrumented code are not checked; everything built here still is.
extern "C" const char* __tsan_default_options() { return "ignore_noninstrumented_modules=1"; }
#endif
