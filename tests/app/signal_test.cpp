// Termination signals reaching the window through the event loop: without a job the window
// ends at once; a running job finishes first (its outcome box shown), unless a second signal
// comes.
#include <QEventLoop>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

#include "app/signal_notifier.h"
#include "app_rig.h"
#include "dialog/control_table.h"
#include "dialog/messages.h"
#include "dialog/qz670x_dialog.h"
#include "image/image_buffer.h"
#include "sim/virtual_chip.h"

using qz::app::SignalNotifier;
using qz::app::test::Click;
using qz::app::test::TypeInto;
using qz::app::test::WindowRig;

namespace {

// Long enough for a whole job under ThreadSanitizer; the job itself runs on virtual time.
constexpr int kJobTimeoutMs = 300000;

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

// What the window saw: the boxes, and whether a job ran when each signal was handled.
struct Seen {
  std::vector<std::string> boxes;
  bool window_open_at_every_box = true;
  std::vector<bool> job_active_at_signal;
};

// The signals wired to the window as the program wires them; the operator answers every box.
void Wire(WindowRig& rig, SignalNotifier& notifier, Seen& seen) {
  qz::app::DialogWindow& window = rig.Window();
  window.SetMessagePresenter([&window, &seen](const qz::MessageBoxRequest& message) {
    seen.boxes.push_back(message.text);
    seen.window_open_at_every_box =
        seen.window_open_at_every_box && window.isVisible() && window.Dialog() != nullptr;
  });
  QObject::connect(&notifier, &SignalNotifier::Caught, &window, [&window, &seen] {
    seen.job_active_at_signal.push_back(window.Dialog() != nullptr &&
                                        window.Dialog()->JobActive());
    window.OnTerminationSignal();
  });
}

}  // namespace

class SignalTest : public QObject {
  Q_OBJECT

 private slots:
  void withoutAJobTheWindowEndsAtOnce() {
    WindowRig rig("rom");
    SignalNotifier notifier({SIGINT, SIGTERM, SIGHUP});
    QVERIFY(notifier.IsActive());
    Seen seen;
    Wire(rig, notifier, seen);

    std::raise(SIGTERM);
    QTRY_VERIFY_WITH_TIMEOUT(rig.Window().Dialog() == nullptr, kJobTimeoutMs);
    QVERIFY(!rig.Window().isVisible());
    QVERIFY(seen.boxes.empty());
    QCOMPARE(seen.job_active_at_signal, std::vector<bool>{false});
  }

  void duringAJob_data() {
    QTest::addColumn<int>("signal_number");
    QTest::addColumn<int>("count");
    QTest::newRow("SIGTERM: the job finishes, then the window ends") << SIGTERM << 1;
    QTest::newRow("SIGHUP likewise") << SIGHUP << 1;
    QTest::newRow("a second SIGINT stops the job at once") << SIGINT << 2;
  }

  void duringAJob() {
    QFETCH(int, signal_number);
    QFETCH(int, count);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString image_path = dir.filePath(QStringLiteral("firmware.bin"));
    const std::vector<std::uint8_t> image = qz::app::test::WriteSampleImage(image_path);
    WindowRig rig("rom");
    SignalNotifier notifier({SIGINT, SIGTERM, SIGHUP});
    QVERIFY(notifier.IsActive());
    Seen seen;
    Wire(rig, notifier, seen);

    TypeInto(rig.Control(qz::ctl::kOriginPath), image_path);
    Click(rig.Control(qz::ctl::kWriteEeprom));
    // The worker waits for this thread at each step of the bar: the job stands at 10 % while
    // the signals are raised.
    RunUntilProgress(rig, 10);
    QVERIFY(rig.Window().Dialog()->JobActive());
    for (int i = 0; i < count; ++i) std::raise(signal_number);

    QTRY_VERIFY_WITH_TIMEOUT(rig.Window().Dialog() == nullptr, kJobTimeoutMs);
    QVERIFY(!rig.Window().isVisible());
    QCOMPARE(seen.job_active_at_signal, std::vector<bool>(static_cast<std::size_t>(count), true));
    const std::vector<std::uint8_t> eeprom = rig.Session().Chip()->Eeprom();
    if (count == 1) {
      // the whole job ran, and its outcome box came up while the window was still there
      QCOMPARE(seen.boxes, std::vector<std::string>{std::string(qz::msg::kWriteOk)});
      QVERIFY(seen.window_open_at_every_box);
      QVERIFY(std::equal(eeprom.begin(), eeprom.begin() + 0x4010, image.begin()));
    } else {
      // stopped as a confirmed Exit stops it: no box waited for, the header left cleared (how
      // much of the body the worker wrote before it saw the stop depends on the scheduler)
      QVERIFY(seen.boxes.empty());
      QVERIFY(std::all_of(eeprom.begin(), eeprom.begin() + qz::kImageHeaderSize,
                          [](std::uint8_t byte) { return byte == 0; }));
    }
  }
};

QTEST_MAIN(SignalTest)
#include "signal_test.moc"
