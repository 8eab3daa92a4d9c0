// Whole write jobs through the window against the virtual chip (virtual time), and every way
// out of the window while a job runs.
#include <QLineEdit>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>

#include "app_rig.h"
#include "dialog/control_table.h"
#include "dialog/messages.h"
#include "dialog/qz670x_dialog.h"
#include "image/image_buffer.h"
#include "sim/virtual_chip.h"

using qz::app::test::Click;
using qz::app::test::TypeInto;
using qz::app::test::WindowRig;

namespace {

// Long enough for a whole job under ThreadSanitizer; the job itself runs on virtual time.
constexpr int kJobTimeoutMs = 300000;

int ProgressOf(WindowRig& rig) {
  return qobject_cast<QProgressBar*>(rig.Control(qz::ctl::kProgress))->value();
}

const std::string kWriteOk(qz::msg::kWriteOk);

// Handles events until the progress bar reaches `position` (or the time-out passes).
void RunUntilProgress(WindowRig& rig, int position) {
  auto* bar = qobject_cast<QProgressBar*>(rig.Control(qz::ctl::kProgress));
  if (bar->value() >= position) return;
  QEventLoop loop;
  QObject::connect(bar, &QProgressBar::valueChanged, &loop, [&](int value) {
    if (value >= position) loop.quit();
  });
  QTimer::singleShot(kJobTimeoutMs, &loop, &QEventLoop::quit);
  loop.exec();
}

}  // namespace

class WriteJobTest : public QObject {
  Q_OBJECT

 private slots:
  void wholeWrite_data() {
    QTest::addColumn<bool>("factory");
    QTest::addColumn<bool>("chip_runs_firmware");
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<int>("progress");
    QTest::addColumn<int>("written");  // EEPROM bytes that must hold the image
    QTest::newRow("Developer mode, chip in ROM mode")
        << false << false << QStringList() << QStringList{QString::fromStdString(kWriteOk)}
        << 100 << 0x4010;
    QTest::newRow("Factory mode, chip running its firmware: erase and re-plug first")
        << true << true << QStringList()
        << QStringList{QString::fromUtf8(qz::msg::kReplugDevice.data(),
                                         static_cast<qsizetype>(qz::msg::kReplugDevice.size())),
                       QString::fromStdString(kWriteOk)}
        << 100 << 0x8000;
    QTest::newRow("chip with a bad status: the job's failure box, button back")
        << false << false << QStringList{QStringLiteral("status=1")}
        << QStringList{QStringLiteral("Write to EEPROM Fail!  Try Again!(2)")} << 0 << 0;
  }

  void wholeWrite() {
    QFETCH(bool, factory);
    QFETCH(bool, chip_runs_firmware);
    QFETCH(QStringList, faults);
    QFETCH(QStringList, messages);
    QFETCH(int, progress);
    QFETCH(int, written);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString image_path = dir.filePath(QStringLiteral("firmware.bin"));
    const std::vector<std::uint8_t> image = qz::app::test::WriteSampleImage(image_path);
    std::string eeprom_file;
    if (chip_runs_firmware) {
      // an EEPROM holding a valid image: the chip comes up running it
      eeprom_file = dir.filePath(QStringLiteral("eeprom.bin")).toStdString();
      qz::app::test::WriteFile(QString::fromStdString(eeprom_file), image, qz::kEepromSize);
    }
    std::vector<std::string> fault_texts;
    for (const QString& fault : faults) fault_texts.push_back(fault.toStdString());
    WindowRig rig(chip_runs_firmware ? "" : "rom", eeprom_file, fault_texts);
    qz::CQZ670xWriteEepromMPUtyDlg* dialog = rig.Window().Dialog();
    QCOMPARE(dialog->NotInRomMode, chip_runs_firmware ? 1u : 0u);

    TypeInto(rig.Control(qz::ctl::kOriginPath), image_path);
    if (factory) Click(rig.Control(qz::ctl::kFactoryMode));
    Click(rig.Control(qz::ctl::kWriteEeprom));
    // the button stays disabled until the job's outcome box has been dismissed
    QVERIFY(!rig.Control(qz::ctl::kWriteEeprom)->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(rig.Control(qz::ctl::kWriteEeprom)->isEnabled(), kJobTimeoutMs);
    QVERIFY(!dialog->JobActive());

    QStringList shown;
    for (const std::string& text : rig.MessageTexts()) shown << QString::fromStdString(text);
    QCOMPARE(shown, messages);
    QCOMPARE(rig.Messages().back().caption, std::string("qz670x-mp"));
    QCOMPARE(rig.Messages().back().icon, qz::MessageIcon::kNone);
    QCOMPARE(ProgressOf(rig), progress);

    const std::vector<std::uint8_t> eeprom = rig.Session().Chip()->Eeprom();
    const auto length = static_cast<std::ptrdiff_t>(written);
    QVERIFY(std::equal(eeprom.begin(), eeprom.begin() + length, image.begin()));
    if (chip_runs_firmware) {
      // The re-plug reached the dialog through the window's hotplug notifier: the probe that
      // waited for the job's end found the chip in ROM mode.
      QTRY_COMPARE_WITH_TIMEOUT(dialog->NotInRomMode, 0u, kJobTimeoutMs);
    }
  }

  void leavingDuringAJob_data() {
    QTest::addColumn<QString>("way");
    QTest::addColumn<bool>("stop");
    for (const char* way : {"exit", "enter", "escape", "close"}) {
      QTest::addRow("%s, answered no: the job goes on", way) << QString::fromLatin1(way) << false;
      QTest::addRow("%s, answered yes: the job stops", way) << QString::fromLatin1(way) << true;
    }
  }

  void leavingDuringAJob() {
    QFETCH(QString, way);
    QFETCH(bool, stop);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString image_path = dir.filePath(QStringLiteral("firmware.bin"));
    const std::vector<std::uint8_t> image = qz::app::test::WriteSampleImage(image_path);
    WindowRig rig("rom");
    qz::app::DialogWindow& window = rig.Window();
    int asked = 0;
    QString question;
    window.SetConfirmer([&](const QString& text) {
      ++asked;
      question = text;
      return stop;
    });

    TypeInto(rig.Control(qz::ctl::kOriginPath), image_path);
    Click(rig.Control(qz::ctl::kWriteEeprom));
    // The worker waits for the UI thread at each step of the bar, so it stands still while
    // this thread acts below: stop handling events as soon as the body is 10 % written.
    RunUntilProgress(rig, 10);
    QVERIFY(window.Dialog()->JobActive());
    QVERIFY(ProgressOf(rig) < 50);

    if (way == QLatin1String("exit")) Click(rig.Control(qz::ctl::kExit));
    if (way == QLatin1String("enter")) {
      QTest::keyClick(rig.Control(qz::ctl::kVendorId), Qt::Key_Return);
    }
    if (way == QLatin1String("escape")) QTest::keyClick(&window, Qt::Key_Escape);
    if (way == QLatin1String("close")) QCOMPARE(window.close(), stop);
    QCOMPARE(asked, 1);
    QCOMPARE(question.toStdString(), std::string(qz::msg::kStopWriteQuestion));

    if (!stop) {
      QVERIFY(window.Dialog() != nullptr);
      QVERIFY(window.isVisible());
      QTRY_VERIFY_WITH_TIMEOUT(rig.Control(qz::ctl::kWriteEeprom)->isEnabled(), kJobTimeoutMs);
      QCOMPARE(rig.MessageTexts(), std::vector<std::string>{kWriteOk});
      QCOMPARE(ProgressOf(rig), 100);
      const std::vector<std::uint8_t> eeprom = rig.Session().Chip()->Eeprom();
      QVERIFY(std::equal(eeprom.begin(), eeprom.begin() + 0x4010, image.begin()));
      return;
    }
    // Ended at once, without waiting for anyone to dismiss the job's failure boxes.
    QVERIFY(window.Dialog() == nullptr);
    QVERIFY(!window.isVisible());
    QVERIFY(rig.Messages().empty());
    const std::vector<std::uint8_t> eeprom = rig.Session().Chip()->Eeprom();
    QVERIFY(std::all_of(eeprom.begin(), eeprom.begin() + qz::kImageHeaderSize,
                        [](std::uint8_t byte) { return byte == 0; }));
    // the body was written from the top and stopped part-way
    QVERIFY(std::equal(eeprom.begin() + 0x4008, eeprom.begin() + 0x4010, image.begin() + 0x4008));
    QVERIFY(!std::equal(eeprom.begin() + 8, eeprom.begin() + 0x4010, image.begin() + 8));
  }
};

QTEST_MAIN(WriteJobTest)
#include "write_job_test.moc"
