#include "app/qz670x_app.h"

#include <QApplication>
#include <QFileInfo>
#include <QString>

#include <csignal>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "app/app_icon.h"
#include "app/dialog_window.h"
#include "app/signal_notifier.h"
#include "app/single_instance.h"
#include "app/station_window.h"
#include "production/station_config.h"
#include "cli/options/dialog_command_line.h"
#include "dialog/control_table.h"
#include "station/unit_run.h"

namespace qz::app {

namespace {

constexpr int kExitIoError = static_cast<int>(station::Exit::kIoError);
constexpr const char* kDefaultAppName = "qz670x-mp";

}  // namespace

std::string CQZ670xWriteEepromMPUtyApp::AppNameOf(const char* argv0) {
  if (argv0 == nullptr || *argv0 == '\0') return kDefaultAppName;
  const QString name = QFileInfo(QString::fromLocal8Bit(argv0)).completeBaseName();
  return name.isEmpty() ? std::string(kDefaultAppName) : name.toStdString();
}

int CQZ670xWriteEepromMPUtyApp::InitInstance(int argc, char** argv) {
  const std::string app_name = AppNameOf(argc > 0 ? argv[0] : nullptr);

  // command line: nothing, or the device options (the virtual chip, a trace)
  cli::DialogCommandLine command_line(app_name);
  bool station = false;
  command_line.Parser().add_flag(
      "--station", station,
      "Open the station window: every port of a gang at a glance, unit after unit");
  std::string out;
  std::string err;
  if (const std::optional<int> end =
          command_line.Parse(std::vector<std::string>(argv, argv + argc), &out, &err)) {
    std::cout << out;
    std::cerr << err;
    return *end;
  }

  // The station's configuration: a station that requires signed jobs opens the station window,
  // whose only source of choices is "Load job…"; a configuration that cannot be used starts
  // nothing.
  {
    std::string config_error;
    const std::optional<production::StationSettings> settings = production::LoadStationSettings(&config_error);
    if (!settings) {
      std::cerr << app_name << ": " << config_error << '\n';
      return static_cast<int>(station::Exit::kConfig);
    }
    if (settings->require_signed_jobs && !station) {
      std::cerr << app_name << ": this station runs only signed production jobs: opening the "
                               "station window (Load job…)\n";
      station = true;
    }
  }

  // Qt sees the program name only: everything else was ours.
  int qt_argc = 1;
  char* qt_argv[] = {argv[0], nullptr};
  QApplication application(qt_argc, qt_argv);
  QApplication::setApplicationName(QString::fromStdString(app_name));
  QApplication::setApplicationVersion(QStringLiteral(QZ_VERSION));
  QApplication::setDesktopFileName(QStringLiteral("qz670x-mp"));
  QApplication::setWindowIcon(AppIcon());
  // From here on SIGINT, SIGTERM and SIGHUP reach the window through the event loop rather than
  // ending the process: a running job finishes, and the device session is saved. A signal that
  // comes before the window exists waits in the notifier until the loop runs.
  SignalNotifier termination_signals({SIGINT, SIGTERM, SIGHUP});

  // single-instance rule
  const QString title = QString::fromUtf8(kWindowTitle.data(),
                                          static_cast<qsizetype>(kWindowTitle.size()));
  SingleInstance instance(title);
  if (instance.ActivateRunning()) return 0;
  std::function<void()> bring_to_front;
  if (!instance.Listen([&bring_to_front] {
        if (bring_to_front) bring_to_front();
      })) {
    if (instance.ActivateRunning()) return 0;
    std::cerr << app_name << ": cannot watch for a second start; running without that rule\n";
  }

  std::string error;
  std::unique_ptr<DeviceSession> session = DeviceSession::Create(command_line.Options(), &error);
  if (!session) {
    std::cerr << app_name << ": " << error << '\n';
    return kExitIoError;
  }

  std::optional<cli::PowerReplugParts> power =
      cli::MakePowerReplug(command_line.Replug(), *session, &error);
  if (!power) {
    std::cerr << app_name << ": " << error << '\n';
    return static_cast<int>(station::Exit::kUsage);
  }
  const station::ReplugMode replug = command_line.Replug().Mode();

  // One window until it ends: a signal ends it as its own rules say, a second start raises it.
  const auto run = [&](auto& window, auto ended) {
    QObject::connect(&window, ended, &application, &QApplication::quit);
    QObject::connect(&termination_signals, &SignalNotifier::Caught, &window,
                     [&window] { window.OnTerminationSignal(); });
    bring_to_front = [&window] { window.BringToFront(); };
    window.show();
    QApplication::exec();
    bring_to_front = nullptr;
  };
  if (station) {
    StationWindow window(*session, app_name);
    window.SetReplug(replug, power->replugger.get());
    run(window, &StationWindow::Ended);
  } else {
    DialogWindow window(session->Backend(), session->GetClock(), session->Hotplug(), app_name);
    window.SetReplug(replug, power->replugger.get(), session->BusBackend());
    run(window, &QDialog::finished);
  }  // the dialog object or the station has ended here: workers joined, links closed

  if (!session->Finish(&error)) {
    std::cerr << app_name << ": " << error << '\n';
    return kExitIoError;
  }
  return 0;
}

}  // namespace qz::app
