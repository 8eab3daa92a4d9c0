#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "base/clock.h"
#include "jobs/job_run.h"
#include "jobs/station_config.h"
#include "jobs/station_setup.h"
#include "station/station.h"
#include "station/window_mailbox.h"

namespace qz {
class DeviceSession;
}  // namespace qz

namespace qz::winapp {

class Win32DialogControls;

// Question asked before closing the window stops the jobs that run.
using jobs::kStopJobsQuestion;

// What one port's tile shows.
struct NativeTile {
  enum class Phase { kIdle, kWaiting, kProgramming, kReplug, kPass, kFail };
  Phase phase = Phase::kIdle;
  int percent = 0;
  int code = 0;          // with kFail: the unit's exit status
  std::string message;   // the port's last message, the system's own words
  std::string serial;
  double seconds = -1;   // < 0: none
  bool remove = false;   // with kPass/kFail: the unit waits to be taken away
};

// The station window as a native Windows window: the setup (the dialog's image, mode and
// override controls, made from its control table and driven by jobs::StationSetup as in the Qt
// window; the serial-number format and next number, log file, ports, or a production job),
// Start and Stop, one tile per port (idle tiles for the ports with a chip before Start), the
// totals and the last units of the log. It drives the station core as the Qt window does: the
// core's reports come on the ports' threads, are kept under a lock and reach the window by a
// posted message.
class NativeStation {
 public:
  using Confirmer = std::function<bool(const std::string& text)>;
  using FileChooser = std::function<std::optional<std::wstring>(HWND owner)>;

  // `session` is not owned and must outlive the window.
  NativeStation(HINSTANCE instance, DeviceSession& session, std::string app_name);
  ~NativeStation();
  NativeStation(const NativeStation&) = delete;
  NativeStation& operator=(const NativeStation&) = delete;

  // Makes the window; false when it could not be made (GetLastError tells why).
  bool Create();
  void RunMessageLoop();
  void PumpMessages();
  [[nodiscard]] bool Ended() const { return ended_; }
  [[nodiscard]] HWND Window() const { return window_; }

  // The setup fields (also what the command line fills in). The image is checked at once.
  void SetImagePath(const std::string& path);
  void SetLogFile(const std::string& path);
  void SetSerialFields(const std::string& format, const std::string& next);
  // A click on a setup control (a dialog control ID), as the operator's.
  void ClickSetupControl(int id);
  // What the setup shows: the image check's report, and the system's messages of a refusal.
  [[nodiscard]] std::string ImageReportText() const;
  [[nodiscard]] std::string SetupMessagesText() const;
  [[nodiscard]] bool StartEnabled() const;
  [[nodiscard]] const jobs::StationSetup& Setup() const { return *setup_; }
  // Loads a production job as every front end checks it; false with the reasons shown.
  bool LoadJob(const std::string& path);

  // Start and Stop as their buttons do; Start returns whether production started.
  bool StartProduction();
  void StopProduction();
  [[nodiscard]] bool Running() const;
  [[nodiscard]] bool JobsRunning() const;

  // What the window shows, as words (tests, and the tiles' own painting).
  [[nodiscard]] std::vector<std::string> TilePorts() const;
  [[nodiscard]] const NativeTile* Tile(const std::string& port) const;
  [[nodiscard]] static std::string StateText(const NativeTile& tile);
  [[nodiscard]] std::string TotalsText() const;
  [[nodiscard]] std::string StatusText() const;
  [[nodiscard]] std::string LogPath() const { return log_path_; }
  [[nodiscard]] station::StationTotals Totals() const;
  // The history list's rows, each cell of a row in column order.
  [[nodiscard]] std::vector<std::vector<std::string>> HistoryRows() const;

  // Test seams; the defaults are the real modal dialogs.
  void SetConfirmer(Confirmer confirmer) { confirmer_ = std::move(confirmer); }
  void SetFileChooser(FileChooser chooser) { file_chooser_ = std::move(chooser); }
  // Called on the UI thread each time a tile is shown anew (tests watch every state this way).
  using TileHook = std::function<void(const std::string& port, const NativeTile& tile)>;
  void SetTileHook(TileHook hook) { tile_hook_ = std::move(hook); }

 private:
  friend class station::WindowMailbox<NativeStation>;
  struct PortView {
    station::PortState state = station::PortState::kWaiting;
    NativeTile tile;
    Clock::Duration unit_started{};
    HWND box = nullptr;
  };

  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam);
  void BuildControls();
  void BuildSetup(int* y);
  void ShowSetup();
  void CheckImage();
  void ApplyLocks();
  void ShowIdlePorts();
  void RemoveTiles();
  void OnCommand(int id);
  void OnClose();
  void EndNow();
  void DrainMailbox();
  void Tick();
  void DrawTile(const DRAWITEMSTRUCT& item);
  void LayoutTiles();
  void ShowPort(const std::string& port);
  void UpdateButtons();
  void SetStatus(const std::string& text, bool alarm = false);
  void RefreshTotals();
  void RefreshHistory();
  bool StartCore(std::string* error);
  void BrowseImage();
  void BrowseJob();
  [[nodiscard]] std::string Text(int id) const;

  void OnPortState(const std::string& port, station::PortState state);
  void OnPortProgress(const std::string& port, int percent);
  void OnPortMessage(const std::string& port, const std::string& text);
  void OnUnitStarted(const std::string& port, const std::string& serial);
  void OnUnitFinished(const station::UnitReport& unit);
  void OnStationProblem(const std::string& text);
  void OnCoreStopped();

  HINSTANCE instance_;
  DeviceSession& session_;
  Clock& clock_;
  std::string app_name_;
  HWND window_ = nullptr;
  HFONT font_ = nullptr;
  HFONT big_font_ = nullptr;
  HICON icon_ = nullptr;
  std::shared_ptr<station::WindowMailbox<NativeStation>> mailbox_;
  std::unique_ptr<station::StationRun> core_;
  std::map<std::string, PortView> ports_;
  jobs::StationSettings station_settings_;
  std::string config_error_;
  std::unique_ptr<Win32DialogControls> controls_;
  std::unique_ptr<jobs::StationSetup> setup_;
  // the dialog controls' own states while the choices are fixed
  std::map<int, bool> frozen_;
  bool image_edited_ = false;
  std::string log_path_;
  std::string status_;
  bool status_alarm_ = false;
  Clock::Duration started_at_{};
  bool stopping_ = false;
  bool ended_ = false;
  bool history_stale_ = false;
  Confirmer confirmer_;
  FileChooser file_chooser_;
  TileHook tile_hook_;
};

}  // namespace qz::winapp
