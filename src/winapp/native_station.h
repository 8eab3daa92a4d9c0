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
#include "production/station_config.h"
#include "production/station_setup.h"
#include "station/station.h"
#include "production/station_presenter.h"

namespace qz {
class DeviceSession;
}  // namespace qz

namespace qz::winapp {

class Win32DialogControls;

// Question asked before closing the window stops the jobs that run.
using production::kStopJobsQuestion;

// What one port's tile shows.
using NativeTile = production::TileState;

// The station window as a native Windows window: the setup (the dialog's image, mode and
// override controls, made from its control table and driven by production::StationSetup as in
// the Qt window; the serial-number format and next number, log file, ports, or a production job),
// Start and Stop, one tile per port (idle tiles for the ports with a chip before Start), the
// totals and the last units of the log. What it shows comes from the station's presenter, as in
// the Qt window: the core's reports come on the ports' threads, are kept under a lock and reach
// the window by a posted message.
class NativeStation final : private production::StationFace {
 public:
  using Confirmer = std::function<bool(const std::string& text)>;
  using FileChooser = std::function<std::optional<std::wstring>(HWND owner)>;

  // `session` is not owned and must outlive the window.
  NativeStation(HINSTANCE instance, DeviceSession& session, std::string app_name);
  ~NativeStation() override;
  NativeStation(const NativeStation&) = delete;
  NativeStation& operator=(const NativeStation&) = delete;

  // Makes the window; false when it could not be made (GetLastError tells why).
  bool Create();
  void RunMessageLoop();
  void PumpMessages();
  [[nodiscard]] bool Ended() const { return presenter_->Ended(); }
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
  [[nodiscard]] const production::StationSetup& Setup() const { return *setup_; }
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
  [[nodiscard]] std::string LogPath() const { return presenter_->LogPath(); }
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
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam);
  void BuildControls();
  void BuildSetup(int* y);
  void ShowSetup();
  void CheckImage();
  void ApplyLocks();
  void ShowIdlePorts();
  void OnCommand(int id);
  void DrawTile(const DRAWITEMSTRUCT& item);
  void LayoutTiles();
  void BrowseImage();
  void BrowseJob();
  [[nodiscard]] std::string Text(int id) const;

  // What the presenter reports.
  void TileChanged(const std::string& port) override;
  void TilesChanged() override;
  void StatusChanged() override;
  void TotalsChanged() override;
  void HistoryChanged() override;
  void RunChanged() override;
  bool Confirm(const std::string& question) override;
  void Close() override;
  bool Wake() override;

  HINSTANCE instance_;
  DeviceSession& session_;
  Clock& clock_;
  std::string app_name_;
  HWND window_ = nullptr;
  HFONT font_ = nullptr;
  HFONT big_font_ = nullptr;
  HICON icon_ = nullptr;
  std::unique_ptr<production::StationPresenter> presenter_;
  std::map<std::string, HWND> boxes_;  // each port's tile
  production::StationSettings station_settings_;
  std::string config_error_;
  std::unique_ptr<Win32DialogControls> controls_;
  std::unique_ptr<production::StationSetup> setup_;
  // the dialog controls' own states while the choices are fixed
  std::map<int, bool> frozen_;
  bool image_edited_ = false;
  bool ticking_ = false;
  Confirmer confirmer_;
  FileChooser file_chooser_;
  TileHook tile_hook_;
};

}  // namespace qz::winapp
