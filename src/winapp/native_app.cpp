// Our headers before the platform's (see native_dialog.cpp).
#include "cli/options/dialog_command_line.h"
#include "winconsole/windows_console.h"
#include "dialog/control_table.h"
#include "production/station_config.h"
#include "station/unit_run.h"

#include "winapp/native_app.h"

#include <commctrl.h>
#include <shellapi.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "winapp/native_dialog.h"
#include "winapp/native_station.h"

namespace qz::winapp {

namespace {

constexpr int kExitIoError = static_cast<int>(station::Exit::kIoError);
constexpr const char* kAppName = "qz670x-mp";

// Help, version and errors: to the console the program was started from, or in a message box
// when there is none (a start from the desktop).
void Report(const std::string& text, bool error) {
  if (AttachConsole(ATTACH_PARENT_PROCESS) != FALSE) {
    HANDLE out = GetStdHandle(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    HANDLE opened = nullptr;
    if (out == nullptr || out == INVALID_HANDLE_VALUE) {
      out = opened = CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    }
    if (out != nullptr && out != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      const std::wstring wide = Widen(text);
      if (WriteConsoleW(out, wide.c_str(), static_cast<DWORD>(wide.size()), &written, nullptr) ==
          FALSE) {
        // redirected to a file or pipe: the bytes as they are
        WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
      }
      if (opened != nullptr) CloseHandle(opened);
      return;
    }
  }
  MessageBoxW(nullptr, Widen(text).c_str(), Widen(kAppName).c_str(),
              MB_OK | static_cast<UINT>(error ? MB_ICONHAND : MB_ICONASTERISK));
}

}  // namespace

int InitInstance(HINSTANCE instance) {
  INITCOMMONCONTROLSEX classes{sizeof(classes), ICC_WIN95_CLASSES};
  InitCommonControlsEx(&classes);

  // command line: nothing, or the device options
  cli::DialogCommandLine command_line(kAppName);
  bool station = false;
  std::string station_log;
  std::string station_image;
  std::string serial_format;
  std::string serial_start;
  bool start_at_once = false;
  command_line.Parser().add_flag(
      "--station", station,
      "Open the station window: every port of a gang at a glance, unit after unit");
  command_line.Parser().add_option("--log", station_log,
                                   "With --station: the production log file (default: the "
                                   "station's, else "
                                   "%LOCALAPPDATA%\\qz670x-mp\\production.sqlite3)");
  command_line.Parser().add_option("--image", station_image,
                                   "With --station: the origin image to write");
  command_line.Parser().add_option("--serial-format", serial_format,
                                   "With --station: the serial-number format (e.g. L7-######)");
  command_line.Parser()
      .add_option("--serial-start", serial_start,
                  "With --station and --serial-format: the next serial number (default 1)")
      ->check(CLI::Range(std::uint64_t{0}, std::uint64_t{999999999999999999}));
  command_line.Parser().add_flag("--start", start_at_once,
                                 "With --station and --image: start production at once");
  std::string out;
  std::string err;
  if (const std::optional<int> end =
          command_line.Parse(winconsole::WideCommandLineArguments(), &out, &err)) {
    Report(out.empty() ? err : out, !err.empty());
    return *end;
  }
  // Windows has no port power switch for us: the operator re-plugs the chip.
  if (command_line.Replug().Mode() != station::ReplugMode::kOperator) {
    Report(std::string(kAppName) +
               ": --replug " + command_line.Replug().mode +
               ": on Windows the operator re-plugs the chip after the erase (--replug operator)\n",
           true);
    return static_cast<int>(station::Exit::kUsage);
  }

  // A station locked by its configuration runs only signed jobs, which this dialog cannot load;
  // a configuration that cannot be used starts nothing.
  {
    std::string config_error;
    const std::optional<production::StationSettings> settings = production::LoadStationSettings(&config_error);
    if (!settings) {
      Report(std::string(kAppName) + ": " + config_error + "\n", true);
      return static_cast<int>(station::Exit::kConfig);
    }
    // this dialog cannot load jobs: the station window can ("Load job…")
    if (settings->require_signed_jobs) station = true;
  }
  if (!station && (!station_log.empty() || !station_image.empty() || start_at_once ||
                   !serial_format.empty() || !serial_start.empty())) {
    Report(std::string(kAppName) +
               ": --log, --image, --serial-format, --serial-start and --start belong to "
               "--station\n",
           true);
    return static_cast<int>(station::Exit::kUsage);
  }

  // single-instance rule: the running dialog or station comes to the front, this start ends
  // silently
  HWND running = FindWindowW(nullptr, Widen(kWindowTitle).c_str());
  if (running == nullptr) {
    running = FindWindowW(nullptr, Widen(std::string(kWindowTitle) + " - Station").c_str());
  }
  if (running != nullptr && running != INVALID_HANDLE_VALUE) {
    if (IsIconic(running) != FALSE) ShowWindow(running, SW_RESTORE);
    SetForegroundWindow(running);
    return 0;
  }

  std::string error;
  std::unique_ptr<DeviceSession> session = DeviceSession::Create(command_line.Options(), &error);
  if (!session) {
    Report(std::string(kAppName) + ": " + error + "\n", true);
    return kExitIoError;
  }
  if (station) {
    NativeStation window(instance, *session, kAppName);
    if (!window.Create()) {
      Report(std::string(kAppName) + ": cannot create the station window (error " +
                 std::to_string(GetLastError()) + ")\n",
             true);
      return kExitIoError;
    }
    if (!station_log.empty()) window.SetLogFile(station_log);
    if (!serial_format.empty() || !serial_start.empty()) {
      window.SetSerialFields(serial_format, serial_start);
    }
    if (!station_image.empty()) window.SetImagePath(station_image);
    if (start_at_once) (void)window.StartProduction();
    window.RunMessageLoop();
  } else {
    // The virtual chips' bus is polled; on the real bus the dialog's window gets the
    // notifications itself.
    HotplugSource* polled = session->SimBackend() != nullptr ? session->Hotplug() : nullptr;
    NativeDialog dialog(instance, session->Backend(), session->GetClock(), polled, kAppName);
    if (!dialog.Create()) {
      Report(std::string(kAppName) + ": cannot create the dialog window (error " +
                 std::to_string(GetLastError()) + ")\n",
             true);
      return kExitIoError;
    }
    dialog.RunMessageLoop();
  }  // the dialog object or the station has ended here: workers joined, links closed
  if (!session->Finish(&error)) {
    Report(std::string(kAppName) + ": " + error + "\n", true);
    return kExitIoError;
  }
  return 0;
}

}  // namespace qz::winapp
