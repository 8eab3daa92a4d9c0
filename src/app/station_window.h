#pragma once

#include <QString>
#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "app/port_tile.h"
#include "base/clock.h"
#include "jobs/station_config.h"
#include "jobs/station_setup.h"
#include "station/station.h"
#include "station/window_mailbox.h"

class QCloseEvent;
class QGridLayout;
class QLabel;
class QPushButton;
class QSocketNotifier;
class QTimer;

namespace qz {
class DeviceSession;
}  // namespace qz

namespace qz::app {

// Question asked before closing the window stops the jobs that run.
using jobs::kStopJobsQuestion;

class HistoryTable;
class SetupPanel;
class TotalsBar;

// The station window: the setup panel, Start and Stop, a tile per port, the totals and the last
// units from the production log. It drives the station core and keeps no rule of its own: every
// unit is the dialog's whole "Write EEPROM", run by the core on the unit's port.
//
// Once started it needs no key press: chips arriving on the ports are programmed one after the
// other until Stop, which lets the running jobs finish. Closing while jobs run asks once; a
// confirmed close stops every job as the dialog's Exit does.
class StationWindow final : public QWidget {
  Q_OBJECT

 public:
  // Asks a yes/no question (default no); true for yes.
  using Confirmer = std::function<bool(const QString& text)>;

  // `session` (the HID backend, clock and hotplug source) is not owned and must outlive the
  // window. `app_name` is the caption of questions and of messages that name none.
  StationWindow(DeviceSession& session, std::string app_name, QWidget* parent = nullptr);
  // Stops every job (as a confirmed close does) if production still runs.
  ~StationWindow() override;
  StationWindow(const StationWindow&) = delete;
  StationWindow& operator=(const StationWindow&) = delete;

  [[nodiscard]] SetupPanel& Setup() { return *setup_; }
  [[nodiscard]] TotalsBar& TotalsLine() { return *totals_; }
  [[nodiscard]] HistoryTable& History() { return *history_; }
  [[nodiscard]] QPushButton* StartButton() const { return start_; }
  [[nodiscard]] QPushButton* StopButton() const { return stop_; }
  // The tile of `port`, or null before the port has shown up.
  [[nodiscard]] PortTile* Tile(const QString& port) const;
  [[nodiscard]] int TileCount() const { return static_cast<int>(tiles_.size()); }
  // True from Start until the station has ended (after Stop, once its last job has ended).
  [[nodiscard]] bool Running() const;
  // True while a unit's job runs on any port.
  [[nodiscard]] bool JobsRunning() const;
  // The station's own line under the buttons: why it cannot start, that it is stopping, ...
  [[nodiscard]] QString StatusText() const;

  // The production log of the current (or last) run.
  [[nodiscard]] const std::string& LogPath() const { return log_path_; }

  // Who re-plugs the chips after their erase (--replug); `replugger` (may be null) is not owned
  // and outlives the window. Takes effect at the next Start.
  void SetReplug(station::ReplugMode mode, station::PowerReplugger* replugger);

  // Test seam; the default is a modal question box.
  void SetConfirmer(Confirmer confirmer);

  // Brings the window to the front (a second start of the program asks for this).
  void BringToFront();

  // A termination signal reached the program: production stops and the window closes once the
  // running jobs have finished. A second one meanwhile stops them at once, as a confirmed close
  // does.
  void OnTerminationSignal();

  // Start and Stop, as the buttons do.
  bool StartProduction();
  void StopProduction();

 Q_SIGNALS:
  // The window has ended: production is over and the window is closed.
  void Ended();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  friend class station::WindowMailbox<StationWindow>;

  // Runs on the UI thread what the ports have reported since the last time.
  Q_INVOKABLE void DrainMailbox();

  void BuildLayout();
  void UpdateButtons();
  void SetStatus(const QString& text, bool alarm = false);
  PortTile* TileFor(const QString& port);
  void RefreshTotals();
  void RefreshHistory();
  // Builds the station core from the setup panel and starts it; false with a reason.
  bool StartCore(std::string* error);
  // The station core has ended production: its last job has ended after Stop.
  void OnCoreStopped();
  // The station's reports, on the UI thread.
  void OnPortState(const std::string& port, station::PortState state);
  void OnPortProgress(const std::string& port, int percent);
  void OnPortMessage(const std::string& port, const std::string& text);
  void OnUnitStarted(const std::string& port, const std::string& serial);
  void OnUnitFinished(const station::UnitReport& unit);
  void OnStationProblem(const std::string& text);
  // The line database behind the journal went away or came back, or units wait for it.
  void OnLineState(const prodlog::LineState& state);
  // Moves the running units' times on.
  void Tick();
  // Before Start: a tile for every port where a chip sits, following the hotplug events.
  void WatchIdlePorts();
  void StopWatchingIdlePorts();
  void ShowIdlePorts();

  // What the window knows of one port.
  struct PortView {
    station::PortState state = station::PortState::kWaiting;
    TileView view;
    Clock::Duration unit_started{};
  };
  PortView& ViewOf(const std::string& port);
  void ShowPort(const std::string& port);
  // Stops every job now (as the dialog's Exit does) and closes the window.
  void EndNow();

  std::string app_name_;
  DeviceSession& session_;
  Clock& clock_;
  SetupPanel* setup_ = nullptr;
  TotalsBar* totals_ = nullptr;
  HistoryTable* history_ = nullptr;
  QPushButton* start_ = nullptr;
  QPushButton* stop_ = nullptr;
  QLabel* status_ = nullptr;
  QGridLayout* tile_grid_ = nullptr;
  QTimer* ticker_ = nullptr;
  QSocketNotifier* idle_notifier_ = nullptr;
  HotplugSource* idle_hotplug_ = nullptr;  // started by the window until Start
  std::map<QString, PortTile*> tiles_;
  std::map<std::string, PortView> ports_;
  std::shared_ptr<station::WindowMailbox<StationWindow>> mailbox_;
  std::unique_ptr<station::StationRun> core_;
  Confirmer confirmer_;
  Clock::Duration started_at_{};
  bool stopping_ = false;
  bool history_stale_ = false;
  std::string log_path_;
  station::ReplugMode replug_ = station::ReplugMode::kOperator;
  station::PowerReplugger* power_replug_ = nullptr;
  bool close_after_stop_ = false;
  bool ended_ = false;
  jobs::StationSettings station_settings_;
  std::string config_error_;  // the station configuration cannot be used: nothing starts
};

}  // namespace qz::app
