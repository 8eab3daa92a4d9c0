// The window against the control table, its start-up state, the enabling rules driven through
// the real widgets, the file buttons, Save BIN, and the ways out while no job runs.
#include <QCheckBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "app/dialog_units.h"
#include "app_rig.h"
#include "dialog/control_table.h"
#include "dialog/messages.h"
#include "dialog/qz670x_dialog.h"
#include "image/image_buffer.h"
#include "image/image_format.h"

using qz::app::test::Click;
using qz::app::test::TypeInto;
using qz::app::test::WindowRig;

namespace {

QString Q(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString Describe(const qz::ControlSpec& spec) {
  return QStringLiteral("control %1 \"%2\"").arg(spec.id).arg(Q(spec.caption));
}

// What the initialisation hides on top of the template.
const std::set<int>& HiddenAtStart() {
  static const std::set<int> hidden = [] {
    std::set<int> ids(qz::groups::kHiddenIdRows.begin(), qz::groups::kHiddenIdRows.end());
    ids.insert(qz::ctl::kUserMode);
    ids.insert(qz::ctl::kReadFromFile);
    return ids;
  }();
  return hidden;
}

bool KindMatches(const qz::ControlSpec& spec, QWidget* widget) {
  using qz::ControlKind;
  static const std::map<ControlKind, const char*> kClassOf = {
      {ControlKind::kDefaultPushButton, "QPushButton"},
      {ControlKind::kPushButton, "QPushButton"},
      {ControlKind::kGroupBox, "QGroupBox"},
      {ControlKind::kLabel, "QLabel"},
      {ControlKind::kEdit, "QLineEdit"},
      {ControlKind::kRadioButton, "QRadioButton"},
      {ControlKind::kCheckBox, "QCheckBox"},
      {ControlKind::kProgressBar, "QProgressBar"}};
  auto* button = qobject_cast<QPushButton*>(widget);
  const bool is_default = button != nullptr && button->isDefault();
  return widget->inherits(kClassOf.at(spec.kind)) &&
         is_default == (spec.kind == ControlKind::kDefaultPushButton);
}

// A rule scenario's steps and expectations are short lines: "click ID", "type ID TEXT";
// "enabled IDs", "disabled IDs", "checked IDs", "unchecked IDs", "text ID TEXT". "descriptors"
// stands for the twenty descriptor controls.
std::vector<int> Ids(const QStringList& words) {
  std::vector<int> ids;
  for (const QString& word : words) {
    if (word == QLatin1String("descriptors")) {
      ids.insert(ids.end(), qz::groups::kDescriptorControls.begin(),
                 qz::groups::kDescriptorControls.end());
    } else {
      ids.push_back(word.toInt());
    }
  }
  return ids;
}

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { rig_ = std::make_unique<WindowRig>(); }
  void cleanup() { rig_.reset(); }

  void controlsFollowTheTable() {
    qz::app::DialogWindow& window = rig_->Window();
    const qz::app::DialogBaseUnits& units = window.BaseUnits();
    QCOMPARE(window.size(),
             qz::app::ToPixels(units, qz::kDialogWidthDu, qz::kDialogHeightDu));
    QCOMPARE(window.minimumSize(), window.maximumSize());

    const std::vector<QWidget*>& widgets = window.TableWidgets();
    QCOMPARE(widgets.size(), qz::kControlTable.size());
    for (std::size_t i = 0; i < qz::kControlTable.size(); ++i) {
      const qz::ControlSpec& spec = qz::kControlTable[i];
      QWidget* widget = widgets[i];
      const QByteArray what = Describe(spec).toUtf8();
      QVERIFY2(KindMatches(spec, widget), what);
      QVERIFY2(widget->geometry() ==
                   qz::app::ToPixels(units, spec.x, spec.y, spec.width, spec.height),
               what);
      QVERIFY2(window.rect().contains(widget->geometry()), what);

      const bool visible = spec.visible && HiddenAtStart().count(spec.id) == 0;
      QVERIFY2(widget->isVisibleTo(&window) == visible, what);

      // captions verbatim, leading blanks included (1007 is set by the initialisation)
      QString caption;
      if (auto* button = qobject_cast<QAbstractButton*>(widget)) caption = button->text();
      if (auto* group = qobject_cast<QGroupBox*>(widget)) caption = group->title();
      if (auto* label = qobject_cast<QLabel*>(widget)) caption = label->text();
      if (spec.id != qz::ctl::kExpectedFirmwareId) QVERIFY2(caption == Q(spec.caption), what);

      static const std::map<qz::TextAlign, Qt::Alignment> kAlign = {
          {qz::TextAlign::kLeft, Qt::AlignLeft},
          {qz::TextAlign::kCenter, Qt::AlignHCenter},
          {qz::TextAlign::kRight, Qt::AlignRight}};
      if (auto* label = qobject_cast<QLabel*>(widget)) {
        QVERIFY2((label->alignment() & Qt::AlignHorizontal_Mask) == kAlign.at(spec.align), what);
      }
      // a frame never takes a click meant for a control inside it
      QVERIFY2(qobject_cast<QGroupBox*>(widget) == nullptr ||
                   widget->testAttribute(Qt::WA_TransparentForMouseEvents),
               what);
    }
  }

  void tabOrderFollowsTheTable() {
    const std::vector<QWidget*>& widgets = rig_->Window().TableWidgets();
    std::vector<QWidget*> expected;
    for (std::size_t i = 0; i < qz::kControlTable.size(); ++i) {
      const bool tab_focus = (widgets[i]->focusPolicy() & Qt::TabFocus) != 0;
      const qz::ControlSpec& spec = qz::kControlTable[i];
      QVERIFY2(tab_focus == spec.tab_stop, Describe(spec).toUtf8());
      if (tab_focus) expected.push_back(widgets[i]);
    }
    std::vector<QWidget*> chain;
    QWidget* widget = expected.front();
    do {
      if (std::count(expected.begin(), expected.end(), widget) != 0) chain.push_back(widget);
      widget = widget->nextInFocusChain();
    } while (widget != expected.front() && chain.size() <= expected.size());
    QVERIFY(chain == expected);
  }

  void startUpState() {
    qz::app::DialogWindow& window = rig_->Window();
    QCOMPARE(window.windowTitle(), Q(qz::kWindowTitle));
    QVERIFY(!window.windowIcon().isNull());
    QVERIFY(qobject_cast<QRadioButton*>(rig_->Control(qz::ctl::kDeveloperMode))->isChecked());
    QCOMPARE(qobject_cast<QLineEdit*>(rig_->Control(qz::ctl::kVendorId))->text(), "1D6C");
    QCOMPARE(qobject_cast<QLineEdit*>(rig_->Control(qz::ctl::kProductId))->text(), "6841");
    QCOMPARE(qobject_cast<QLabel*>(rig_->Control(qz::ctl::kExpectedFirmwareId))->text(), "5067");
    QCOMPARE(window.Dialog()->ExpectedFirmwareId, std::uint16_t{0x5067});
    auto* bar = qobject_cast<QProgressBar*>(rig_->Control(qz::ctl::kProgress));
    QVERIFY(bar->minimum() == 0 && bar->maximum() == 100 && bar->value() == 0);
    for (int id : qz::groups::kDescriptorControls) QVERIFY(!rig_->Control(id)->isEnabled());
    for (int id : qz::groups::kUpdateFileControls) QVERIFY(rig_->Control(id)->isEnabled());
  }

  void rulesByClicks_data() {
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("expectations");
    const QStringList factory_with_update = {"click 1057", "click 1014", "type 1015 ACME",
                                             "click 1049"};
    QTest::newRow("Factory mode with Update Enable keeps only the serial number")
        << factory_with_update
        << QStringList{"enabled 1026 1027", "disabled descriptors", "unchecked 1014",
                       "checked 1057", "text 1015 ACME", "disabled 1032 1033 1056"};
    QTest::newRow("back to Developer mode: enabled again, boxes stay unchecked")
        << (QStringList(factory_with_update) << "click 1050")
        << QStringList{"enabled descriptors 1026 1027 1032 1033 1056", "unchecked 1014",
                       "text 1015 ACME"};
    QTest::newRow("the EVB box unchecks Update Enable and disables 22 controls")
        << QStringList{"click 1057", "click 1012"}
        << QStringList{"checked 1012", "unchecked 1057", "disabled descriptors 1026 1027"};
    QTest::newRow("Reset unchecks and empties, enabling stays")
        << QStringList{"click 1057", "click 1017", "type 1018 Widget", "click 1040",
                       "type 1041 0100", "click 1062"}
        << QStringList{"unchecked 1057 1017 1040 1012", "text 1018", "text 1041",
                       "enabled descriptors 1026 1027"};
    QTest::newRow("a disabled box takes no click")
        << QStringList{"click 1014", "click 1026"} << QStringList{"unchecked 1014 1026"};
  }

  void rulesByClicks() {
    QFETCH(QStringList, steps);
    QFETCH(QStringList, expectations);
    for (const QString& step : steps) {
      const QStringList words = step.split(QLatin1Char(' '));
      QWidget* control = rig_->Control(words.at(1).toInt());
      if (words.at(0) == QLatin1String("click")) {
        Click(control);
      } else {
        TypeInto(control, words.mid(2).join(QLatin1Char(' ')));
      }
    }
    for (const QString& expectation : expectations) {
      const QStringList words = expectation.split(QLatin1Char(' '));
      const QString& what = words.at(0);
      if (what == QLatin1String("text")) {
        const QString text = words.mid(2).join(QLatin1Char(' '));
        QCOMPARE(qobject_cast<QLineEdit*>(rig_->Control(words.at(1).toInt()))->text(), text);
        continue;
      }
      for (int id : Ids(words.mid(1))) {
        const QByteArray message = (expectation + QStringLiteral(": %1").arg(id)).toUtf8();
        QWidget* control = rig_->Control(id);
        if (what == QLatin1String("enabled")) QVERIFY2(control->isEnabled(), message);
        if (what == QLatin1String("disabled")) QVERIFY2(!control->isEnabled(), message);
        if (what == QLatin1String("checked")) {
          QVERIFY2(qobject_cast<QAbstractButton*>(control)->isChecked(), message);
        }
        if (what == QLatin1String("unchecked")) {
          QVERIFY2(!qobject_cast<QAbstractButton*>(control)->isChecked(), message);
        }
      }
    }
  }

  void browseButtons_data() {
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("edit");
    QTest::addColumn<QString>("chosen");  // null: cancelled
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("refused");
    const QString long_path = QStringLiteral("/") + QString(1023, QLatin1Char('a'));
    QTest::newRow("origin file chosen") << 1001 << 1000 << QStringLiteral("/work/fw a.bin")
                                        << QStringLiteral("/work/fw a.bin") << false;
    QTest::newRow("cancelled") << 1001 << 1000 << QString() << QStringLiteral("old.bin")
                               << false;
    QTest::newRow("1023 characters fit") << 1033 << 1032 << long_path.left(1023)
                                         << long_path.left(1023) << false;
    QTest::newRow("1024 characters are refused") << 1033 << 1032 << long_path
                                                 << QStringLiteral("old.bin") << true;
  }

  void browseButtons() {
    QFETCH(int, button);
    QFETCH(int, edit);
    QFETCH(QString, chosen);
    QFETCH(QString, expected);
    QFETCH(bool, refused);
    auto* line = qobject_cast<QLineEdit*>(rig_->Control(edit));
    line->setText(QStringLiteral("old.bin"));
    int asked = 0;
    rig_->Window().SetFileChooser([&](QWidget*) -> std::optional<QString> {
      ++asked;
      if (chosen.isNull()) return std::nullopt;
      return chosen;
    });
    Click(rig_->Control(button));
    QCOMPARE(asked, 1);
    QCOMPARE(line->text(), expected);
    if (refused) {
      QCOMPARE(rig_->Messages().size(), std::size_t{1});
      QCOMPARE(rig_->Messages()[0].text, std::string(qz::msg::kPathTooLong));
      QCOMPARE(rig_->Messages()[0].caption, std::string("qz670x-mp"));
      QCOMPARE(rig_->Messages()[0].icon, qz::MessageIcon::kStop);
    } else {
      QVERIFY(rig_->Messages().empty());
    }
  }

  void browseDialogOffersBinFiles() {
    std::unique_ptr<QFileDialog> dialog = qz::app::MakeBrowseDialog(&rig_->Window());
    QCOMPARE(dialog->nameFilters(), QStringList{QStringLiteral("All Files (*.bin) (*.bin)")});
    QCOMPARE(dialog->acceptMode(), QFileDialog::AcceptOpen);
    // the update file of Save BIN is usually a new one
    QCOMPARE(dialog->fileMode(), QFileDialog::AnyFile);
  }

  void saveBinThroughTheWindow() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString origin = dir.filePath(QStringLiteral("origin.bin"));
    const QString update = dir.filePath(QStringLiteral("update.bin"));
    const std::vector<std::uint8_t> origin_bytes = qz::app::test::WriteSampleImage(origin);

    TypeInto(rig_->Control(qz::ctl::kOriginPath), origin);
    TypeInto(rig_->Control(qz::ctl::kUpdatePath), update);
    Click(rig_->Control(qz::ctl::kUpdateEnable));
    Click(rig_->Control(qz::ctl::kProductBox));
    TypeInto(rig_->Control(qz::ctl::kProductEdit), QStringLiteral("Line 7 Tester"));
    Click(rig_->Control(qz::ctl::kSaveBin));

    QCOMPARE(rig_->MessageTexts(), std::vector<std::string>{std::string(qz::msg::kSaveFileOk)});
    const std::vector<std::uint8_t> saved = qz::app::test::ReadFile(update);
    QCOMPARE(saved.size(), qz::kImageSize);
    qz::ImageBuffer image;
    std::copy(saved.begin(), saved.end(), image.bytes.begin());
    QVERIFY(qz::ImageSumMatches(image));
    QVERIFY(qz::ImageCrcMatches(image));
    // the product string went in as UTF-16LE
    const QByteArray product = QByteArray(reinterpret_cast<const char*>(saved.data()),
                                          static_cast<qsizetype>(saved.size()));
    const QString wanted = QStringLiteral("Line 7 Tester");
    QVERIFY(product.contains(QByteArray(reinterpret_cast<const char*>(wanted.utf16()),
                                        wanted.size() * 2)));
    QCOMPARE(qz::app::test::ReadFile(origin), origin_bytes);
  }

  void idleWaysOutEndTheDialog_data() {
    QTest::addColumn<QString>("way");
    QTest::newRow("Exit button") << QStringLiteral("exit");
    QTest::newRow("Enter in an edit runs the default button") << QStringLiteral("enter");
    QTest::newRow("Escape") << QStringLiteral("escape");
    QTest::newRow("window manager's close") << QStringLiteral("close");
  }

  void idleWaysOutEndTheDialog() {
    QFETCH(QString, way);
    qz::app::DialogWindow& window = rig_->Window();
    int asked = 0;
    window.SetConfirmer([&](const QString&) { return ++asked, false; });
    if (way == QLatin1String("exit")) Click(rig_->Control(qz::ctl::kExit));
    if (way == QLatin1String("enter")) {
      QTest::keyClick(rig_->Control(qz::ctl::kVendorId), Qt::Key_Return);
    }
    if (way == QLatin1String("escape")) QTest::keyClick(&window, Qt::Key_Escape);
    if (way == QLatin1String("close")) QVERIFY(window.close());
    QCOMPARE(asked, 0);  // nothing to lose: no question
    QVERIFY(window.Dialog() == nullptr);
    QVERIFY(!window.isVisible());
    QCOMPARE(window.result(), int(QDialog::Accepted));
  }

  void aSecondStartBringsTheWindowToTheFront() {
    qz::app::DialogWindow& window = rig_->Window();
    window.showMinimized();
    QVERIFY(window.isMinimized());
    window.BringToFront();
    QVERIFY(!window.isMinimized());
    QVERIFY(window.isVisible());
  }

 private:
  std::unique_ptr<WindowRig> rig_;
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
