// The station window: its setup panel on the dialog's own controls and rules, and continuous
// production on four virtual chips, one of them faulty, from the window alone.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>

#include "app/setup_panel.h"
#include "app_rig.h"
#include "base/clock.h"
#include "dialog/control_table.h"
#include "dialog/headless_controls.h"

using qz::app::SetupPanel;
using qz::app::test::Click;
using qz::app::test::TypeInto;

class StationTest : public QObject {
  Q_OBJECT

 private slots:
  // The image is checked when chosen: a bad one shows the system's messages and is not
  // accepted; a good one shows its firmware ID. The overrides follow the dialog's rules and
  // reach each port's controls as typed.
  void setupPanelUsesTheDialogsRules() {
    QTemporaryDir dir;
    const QString good = dir.filePath(QStringLiteral("good.bin"));
    const QString bad = dir.filePath(QStringLiteral("short.bin"));
    const std::vector<std::uint8_t> bytes = qz::app::test::WriteSampleImage(good);
    qz::app::test::WriteFile(bad, bytes, 1000);

    qz::ManualClock clock;
    SetupPanel panel(clock, "qz670x-mp");
    QString chosen = bad;
    panel.SetFileChooser([&](QWidget*) { return std::optional<QString>(chosen); });
    panel.show();

    Click(panel.Control(qz::ctl::kBrowseOrigin));
    QVERIFY(!panel.ImageAccepted());
    QCOMPARE(panel.ImageReport(), QStringLiteral("File size error\nRead File Error!"));

    chosen = good;
    Click(panel.Control(qz::ctl::kBrowseOrigin));
    QVERIFY(panel.ImageAccepted());
    QVERIFY2(panel.ImageReport().startsWith(QStringLiteral("Firmware ID 5067\n")),
             qPrintable(panel.ImageReport()));

    // Developer mode with "Update Enable": the product string; Factory mode then unchecks it
    // and keeps only the serial-number row, as in the dialog.
    Click(panel.Control(qz::ctl::kUpdateEnable));
    Click(panel.Control(qz::ctl::kProductBox));
    TypeInto(panel.Control(qz::ctl::kProductEdit), QStringLiteral("Line 7 Speaker"));
    QVERIFY(panel.CheckOverrides());
    Click(panel.Control(qz::ctl::kFactoryMode));
    QVERIFY(!qobject_cast<QCheckBox*>(panel.Control(qz::ctl::kProductBox))->isChecked());
    QVERIFY(!panel.Control(qz::ctl::kProductEdit)->isEnabled());
    QVERIFY(panel.Control(qz::ctl::kSerialEdit)->isEnabled());

    // an override the dialog refuses is refused here with its message
    Click(panel.Control(qz::ctl::kDeveloperMode));
    Click(panel.Control(qz::ctl::kHsBcdBox));
    TypeInto(panel.Control(qz::ctl::kHsBcdEdit), QStringLiteral("12345"));
    QVERIFY(!panel.CheckOverrides());
    QCOMPARE(panel.findChild<QLabel*>(QStringLiteral("setupMessages"))->text(),
             QStringLiteral("Invalid High Speed Device's bcdDevice.."));

    qz::HeadlessControls port;
    panel.CopyChoicesTo(port);
    QVERIFY(port.IsChecked(qz::ctl::kDeveloperMode));
    QVERIFY(!port.IsChecked(qz::ctl::kFactoryMode));
    QVERIFY(port.IsChecked(qz::ctl::kHsBcdBox));
    QCOMPARE(port.Text(qz::ctl::kHsBcdEdit), std::string("12345"));
    QCOMPARE(port.Text(qz::ctl::kProductEdit), std::string("Line 7 Speaker"));
    QCOMPARE(port.Text(qz::ctl::kOriginPath), good.toStdString());
  }
};

QTEST_MAIN(StationTest)
#include "station_test.moc"
