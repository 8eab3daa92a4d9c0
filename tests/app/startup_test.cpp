// The program's start-up: its command line, and the single-instance rule, in-process and with
// the real program as the second copy.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QProcess>
#include <QTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "app/single_instance.h"
#include "dialog/control_table.h"

namespace {

constexpr int kProcessTimeoutMs = 120000;

QString UniqueTitle(const char* what) {
  return QStringLiteral("qz670x-mp test %1 %2").arg(QLatin1String(what)).arg(::getpid());
}

struct Run {
  int exit_code = -1;
  QString out;
  QString err;
};

Run RunProgram(const QStringList& arguments) {
  QProcess process;
  process.start(QStringLiteral(QZ_APP_BINARY), arguments);
  Run run;
  if (!process.waitForFinished(kProcessTimeoutMs)) {
    process.kill();
    process.waitForFinished();
    return run;
  }
  run.exit_code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
  run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
  run.err = QString::fromLocal8Bit(process.readAllStandardError());
  return run;
}

}  // namespace

class StartupTest : public QObject {
  Q_OBJECT

 private slots:
  void commandLine_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exit_code");
    QTest::addColumn<QString>("out");
    QTest::newRow("--version") << QStringList{QStringLiteral("--version")} << 0
                               << QStringLiteral("qz670x-mp 1.0.0");
    QTest::newRow("--help names the device options")
        << QStringList{QStringLiteral("--help")} << 0 << QStringLiteral("--sim-fault");
    QTest::newRow("no arguments of its own") << QStringList{QStringLiteral("firmware.bin")} << 64
                                             << QString();
    // "@short" stands for an EEPROM file of the wrong size
    QTest::newRow("an unusable EEPROM file ends before any window")
        << QStringList{QStringLiteral("--simulate"), QStringLiteral("--sim-eeprom"),
                       QStringLiteral("@short")}
        << 74 << QString();
  }

  void commandLine() {
    QFETCH(QStringList, arguments);
    QFETCH(int, exit_code);
    QFETCH(QString, out);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    for (QString& argument : arguments) {
      if (argument != QLatin1String("@short")) continue;
      argument = dir.filePath(QStringLiteral("short.bin"));
      QFile file(argument);
      QVERIFY(file.open(QIODevice::WriteOnly));
      file.write("0123456789");
    }
    const Run run = RunProgram(arguments);
    QCOMPARE(run.exit_code, exit_code);
    if (exit_code == 0) {
      QVERIFY2(run.out.contains(out), qPrintable(run.out));
    } else {
      QVERIFY(!run.err.isEmpty());
    }
  }

  void socketLeftByACrashIsTakenOver() {
    const QString title = UniqueTitle("stale");
    const QByteArray path =
        QDir(QDir::tempPath()).filePath(qz::app::SingleInstance::ServerName(title)).toLocal8Bit();
    // a socket file nobody listens on, as a killed copy leaves it
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    QVERIFY(fd >= 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    QVERIFY(static_cast<std::size_t>(path.size()) < sizeof(address.sun_path));
    std::memcpy(address.sun_path, path.constData(), static_cast<std::size_t>(path.size()));
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::close(fd);

    qz::app::SingleInstance copy(title);
    QVERIFY(!copy.ActivateRunning());
    int activated = 0;
    QVERIFY(copy.Listen([&] { ++activated; }));
    qz::app::SingleInstance second(title);
    QVERIFY(second.ActivateRunning());
    QTRY_COMPARE(activated, 1);
  }

  void secondStartOfTheProgramRaisesTheFirstAndEnds() {
    // This test plays the running copy, under the program's real title.
    const QString title = QString::fromUtf8(qz::kWindowTitle.data(),
                                            static_cast<qsizetype>(qz::kWindowTitle.size()));
    qz::app::SingleInstance first(title);
    int activated = 0;
    QVERIFY2(first.Listen([&] { ++activated; }), "is the program running already?");

    QProcess second;
    second.start(QStringLiteral(QZ_APP_BINARY), {QStringLiteral("--simulate")});
    QVERIFY(second.waitForStarted(kProcessTimeoutMs));
    QTRY_COMPARE_WITH_TIMEOUT(activated, 1, kProcessTimeoutMs);
    // it ends on its own, with no window of its own to close
    QTRY_VERIFY_WITH_TIMEOUT(second.state() == QProcess::NotRunning, kProcessTimeoutMs);
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
  }

  void terminationSignalEndsTheDialogAndTheSessionIsSaved() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString eeprom = dir.filePath(QStringLiteral("eeprom.bin"));
    const QString trace = dir.filePath(QStringLiteral("trace.txt"));
    QProcess program;
    program.start(QStringLiteral(QZ_APP_BINARY),
                  {QStringLiteral("--simulate"), QStringLiteral("--sim-eeprom"), eeprom,
                   QStringLiteral("--trace"), trace});
    QVERIFY(program.waitForStarted(kProcessTimeoutMs));
    // The trace file comes with the device session, after the program took the signals over.
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(trace), kProcessTimeoutMs);
    program.terminate();  // SIGTERM
    QVERIFY(program.waitForFinished(kProcessTimeoutMs));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    // the virtual chip's EEPROM was saved on the way out
    QCOMPARE(QFileInfo(eeprom).size(), qint64{32768});
  }
};

QTEST_MAIN(StartupTest)
#include "startup_test.moc"
