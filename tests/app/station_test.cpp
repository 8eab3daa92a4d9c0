// The station window: its setup panel on the dialog's own controls and rules, and continuous
// production on four virtual chips, one of them faulty, from the window alone.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>

#include <map>
#include <memory>
#include <set>

#include <fstream>
#include <sstream>

#include <QDir>

#include "app/history_table.h"
#include "app/port_tile.h"
#include "app/setup_panel.h"
#include "app/station_window.h"
#include "app/totals_bar.h"
#include "app_rig.h"
#include "base/clock.h"
#include "cli/cli_common.h"
#include "devices/device_session.h"
#include "dialog/control_table.h"
#include "dialog/headless_controls.h"
#include "prodlog/production_log.h"
#include "sim/virtual_chip.h"
#include "support/job_fixtures.h"

using qz::app::PortTile;
using qz::app::SetupPanel;
using qz::app::StationWindow;
using qz::app::TilePhase;
using qz::app::test::Click;
using qz::app::test::TypeInto;

namespace {

// Long enough for many units under ThreadSanitizer; the units run on virtual time.
constexpr int kTimeoutMs = 120000;

// Four virtual chips, the third one corrupting what is written at 0x40, a sample image, and the
// station window over them on virtual time, its image chosen and its log in a temporary file.
class StationRig {
 public:
  StationRig() {
    image_ = dir_.filePath(QStringLiteral("image.bin"));
    log_ = dir_.filePath(QStringLiteral("production.sqlite3"));
    qz::app::test::WriteSampleImage(image_);
    qz::DeviceConfig config;
    config.simulate = 4;
    config.sim_faults = {"sim-3:corrupt@0x40"};
    std::string error;
    session_ = qz::DeviceSession::Create(config, &error, &clock_);
    if (!session_) qFatal("device session: %s", error.c_str());
    window_ = std::make_unique<StationWindow>(*session_, "qz670x-mp");
    window_->Setup().SetFileChooser([this](QWidget*) { return std::optional<QString>(image_); });
    Click(window_->Setup().Control(qz::ctl::kBrowseOrigin));
    TypeInto(window_->Setup().LogFileEdit(), log_);
    TypeInto(window_->Setup().SerialFormatEdit(), QStringLiteral("L7-####"));
    window_->show();
  }
  ~StationRig() { window_.reset(); }

  StationWindow& Window() { return *window_; }
  qz::DeviceSession& Session() { return *session_; }
  [[nodiscard]] std::vector<qz::prodlog::UnitRecord> LogRows() const {
    qz::prodlog::LogError error;
    qz::prodlog::LogOptions options;
    options.read_only = true;
    auto log = qz::prodlog::ProductionLog::Open(log_.toStdString(), &error, options);
    if (!log) qFatal("log: %s", error.message.c_str());
    return log->Rows({}, &error).value();
  }

 private:
  QTemporaryDir dir_;
  QString image_;
  QString log_;
  qz::ManualClock clock_;
  std::unique_ptr<qz::DeviceSession> session_;
  std::unique_ptr<StationWindow> window_;
};

}  // namespace

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
    QCOMPARE(panel.ImageReport(),
             QStringLiteral("File size error\nthe file has 1000 bytes, an image has 32784\n"
                            "Read File Error!"));

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

    const qz::station::UnitChoices choices = panel.Choices();
    QVERIFY(!choices.factory);
    QCOMPARE(choices.image, good.toStdString());
    qz::HeadlessControls port;
    choices.overrides(port);
    QVERIFY(port.IsChecked(qz::ctl::kHsBcdBox));
    QCOMPARE(port.Text(qz::ctl::kHsBcdEdit), std::string("12345"));
    QVERIFY(!port.IsChecked(qz::ctl::kProductBox));
  }

  // Before Start the tiles show where the chips sit, following them on and off the bus, and an
  // accepted image clears the line that asks for one.
  void tilesBeforeStart() {
    StationRig rig;
    StationWindow& window = rig.Window();
    QCOMPARE(window.TileCount(), 4);
    QCOMPARE(window.Tile(QStringLiteral("sim-2"))->View().phase, TilePhase::kReady);
    QVERIFY2(!window.StatusText().startsWith(QStringLiteral("Choose an image")),
             qPrintable(window.StatusText()));
    rig.Session().ChipOnPort("sim-4")->SetPresent(false);
    QTRY_COMPARE(window.TileCount(), 3);
    rig.Session().ChipOnPort("sim-4")->SetPresent(true);
    QTRY_COMPARE(window.TileCount(), 4);
  }

  // Continuous production from the window alone: the three good ports pass, the faulty one fails
  // with its code and the system's message in its own tile only; after Stop the totals and the
  // history agree with the log file.
  void fourChipsOneFaulty() {
    StationRig rig;
    StationWindow& window = rig.Window();
    QVERIFY(window.StartButton()->isEnabled());
    Click(window.StartButton());
    QVERIFY2(window.Running(), qPrintable(window.StatusText()));
    QCOMPARE(window.TileCount(), 4);
    QVERIFY(!window.StartButton()->isEnabled());
    QVERIFY(!window.Setup().Control(qz::ctl::kOriginPath)->isEnabled());

    // watch every tile until each good port has passed twice and the faulty one has failed
    std::map<QString, int> passes;
    QString fail_message;
    QString fail_state;
    int fail_code = 0;
    const auto watch = [&] {
      for (const QString port : {"sim-1", "sim-2", "sim-3", "sim-4"}) {
        const qz::app::TileView& view = window.Tile(port)->View();
        if (view.phase == TilePhase::kPass) ++passes[port];
        if (view.phase == TilePhase::kFail && port == QStringLiteral("sim-3")) {
          fail_message = view.message;
          fail_state = PortTile::StateText(view);
          fail_code = view.code;
        }
        // a failure's words never show up on another port
        if (port != QStringLiteral("sim-3") && view.phase == TilePhase::kFail) return false;
      }
      return fail_code != 0 && passes["sim-1"] > 0 && passes["sim-2"] > 0 && passes["sim-4"] > 0;
    };
    QTRY_VERIFY_WITH_TIMEOUT(watch(), kTimeoutMs);
    // The README's picture of a run: QZ_STATION_SCREENSHOT=FILE, under a real display server.
    if (const QString shot = qEnvironmentVariable("QZ_STATION_SCREENSHOT"); !shot.isEmpty()) {
      QVERIFY(window.grab().save(shot));
    }
    QVERIFY2(fail_message.startsWith(QStringLiteral("Write to EEPROM Fail!  Try Again!(")),
             qPrintable(fail_message));
    QVERIFY2(fail_state.contains(QStringLiteral("FAIL (%1)").arg(fail_code)), qPrintable(fail_state));

    Click(window.StopButton());
    QTRY_VERIFY_WITH_TIMEOUT(!window.Running(), kTimeoutMs);

    const std::vector<qz::prodlog::UnitRecord> rows = rig.LogRows();
    std::uint64_t passed = 0;
    std::uint64_t failed = 0;
    std::set<std::string> serials;
    for (const qz::prodlog::UnitRecord& row : rows) {
      QVERIFY2(row.finished, row.port.c_str());
      (row.exit_code == 0 ? passed : failed) += 1;
      QCOMPARE(row.exit_code == 0, row.port != "sim-3");
      QVERIFY(serials.insert(row.serial).second);
    }
    const qz::app::Totals& totals = window.TotalsLine().Shown();
    QCOMPARE(totals.units, static_cast<std::uint64_t>(rows.size()));
    QCOMPARE(totals.passed, passed);
    QCOMPARE(totals.failed, failed);
    qz::app::HistoryTable& history = window.History();
    QCOMPARE(history.rowCount(), std::min(static_cast<int>(rows.size()), 50));
    for (int r = 0; r < history.rowCount(); ++r) {
      const qz::prodlog::UnitRecord& row = rows[rows.size() - 1 - static_cast<std::size_t>(r)];
      QCOMPARE(history.item(r, 1)->text().toStdString(), row.port);
      QCOMPARE(history.item(r, 2)->text().toStdString(), row.serial);
      QCOMPARE(history.item(r, 3)->text().startsWith(QStringLiteral("PASS")), row.exit_code == 0);
    }
  }

  // Closing while units are written asks once; no leaves everything running, yes stops every
  // job as Exit does, and no unit is left unfinished in the log.
  void closingDuringJobs() {
    StationRig rig;
    StationWindow& window = rig.Window();
    int asked = 0;
    bool answer = false;
    window.SetConfirmer([&](const QString&) {
      ++asked;
      return answer;
    });
    bool ended = false;
    QObject::connect(&window, &StationWindow::Ended, [&] { ended = true; });
    Click(window.StartButton());
    QTRY_VERIFY_WITH_TIMEOUT(window.JobsRunning(), kTimeoutMs);

    QVERIFY(!window.close());
    QCOMPARE(asked, 1);
    QVERIFY(window.Running() && !ended);

    QTRY_VERIFY_WITH_TIMEOUT(window.JobsRunning(), kTimeoutMs);
    answer = true;
    QVERIFY(window.close());
    QCOMPARE(asked, 2);
    QVERIFY(ended);
    QVERIFY(!window.Running());
    for (const qz::prodlog::UnitRecord& row : rig.LogRows()) QVERIFY2(row.finished, row.port.c_str());
  }

  // A station locked by its configuration takes no image of its own, only a signed job: its
  // settings are shown read-only, and every unit's row names the job.
  void lockedStationRunsALoadedJob() {
    QTemporaryDir dir;
    const auto file = [&](const char* name) { return dir.filePath(QLatin1String(name)).toStdString(); };
    qz::app::test::WriteSampleImage(QString::fromStdString(file("image.bin")));
    std::ofstream(file("factory.key.pem")) << qz::test::kFactoryPrivatePem;
    QDir(dir.path()).mkdir(QStringLiteral("keys"));
    std::ofstream(file("keys/factory.pem")) << qz::test::kFactoryPublicPem;
    std::ofstream(file("station.toml"))
        << "require-signed-jobs = true\ntrusted-keys = \"" << file("keys") << "\"\n";
    const std::string job = file("widget.qzjob");
    for (std::vector<std::string> args :
         {std::vector<std::string>{"job", "create", job, "--image", file("image.bin"), "--product",
                                   "Widget", "--serial-format", "W-####", "--name", "widget",
                                   "--revision", "3"},
          {"job", "sign", job, "--key", file("factory.key.pem")}}) {
      args.insert(args.begin(), "qz670x-mp-cli");
      std::vector<const char*> argv;
      for (const std::string& arg : args) argv.push_back(arg.c_str());
      std::ostringstream out, err;
      QCOMPARE(qz::cli::Run(static_cast<int>(argv.size()), argv.data(), out, err), 0);
    }
    qputenv("QZ670X_MP_STATION_CONFIG", QByteArray::fromStdString(file("station.toml")));
    StationRig rig;
    StationWindow& window = rig.Window();
    QVERIFY(!window.StartButton()->isEnabled());
    QVERIFY(!window.Setup().Control(qz::ctl::kOriginPath)->isEnabled());

    window.Setup().SetFileChooser([&](QWidget*) { return std::optional<QString>(QString::fromStdString(job)); });
    Click(window.Setup().LoadJobButton());
    QVERIFY2(window.Setup().Job() != nullptr, qPrintable(window.StatusText()));
    QVERIFY(window.Setup().JobReport().contains(QStringLiteral("name: widget\nrevision: 3")));
    QVERIFY(window.Setup().JobReport().contains(QStringLiteral("product: \"Widget\"")));
    QVERIFY(!window.Setup().Control(qz::ctl::kProductEdit)->isEnabled());
    QVERIFY(window.StartButton()->isEnabled());
    Click(window.StartButton());
    QVERIFY2(window.Running(), qPrintable(window.StatusText()));
    QTRY_VERIFY_WITH_TIMEOUT(window.TotalsLine().Shown().passed >= 1, kTimeoutMs);
    Click(window.StopButton());
    QTRY_VERIFY_WITH_TIMEOUT(!window.Running(), kTimeoutMs);
    qunsetenv("QZ670X_MP_STATION_CONFIG");
    for (const qz::prodlog::UnitRecord& row : rig.LogRows()) {
      QCOMPARE(row.job.name, std::string("widget"));
      QCOMPARE(row.job.revision, std::string("3"));
      QCOMPARE(row.job.key, std::string(qz::test::kFactoryKeyId));
      QVERIFY(row.serial.rfind("W-", 0) == 0);
    }
  }
};

QTEST_MAIN(StationTest)
#include "station_test.moc"
