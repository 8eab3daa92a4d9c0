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
#include "station/station.h"
#include "production/station_presenter.h"

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
using production::kStopJobsQuestion;

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
class StationWindow final : public QWidget, private production::StationFace {
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
  [[nodiscard]] const std::string& LogPath() const { return presenter_->LogPath(); }

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
  // Runs on the UI thread what the ports have reported since the last time.
  Q_INVOKABLE void DrainMailbox();

  // The presenter's wake-up, question and end of the window.
  bool Wake() override;
  bool Confirm(const std::string& question) override;
  void Close() override;
  // What the presenter reports changed: the buttons, the line under them, the tiles, the totals
  // and the history.
  void RunChanged() override;
  void StatusChanged() override;
  void TilesChanged() override;
  void TileChanged(const std::string& port) override;
  void TotalsChanged() override;
  void HistoryChanged() override;

  void BuildLayout();
  void SetStatus(const QString& text, bool alarm = false);
  PortTile* TileFor(const QString& port);
  // Before Start: a tile for every port where a chip sits, following the hotplug events.
  void WatchIdlePorts();
  void StopWatchingIdlePorts();
  void ShowIdlePorts();

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
  Confirmer confirmer_;
  station::ReplugMode replug_ = station::ReplugMode::kOperator;
  station::PowerReplugger* power_replug_ = nullptr;
  bool require_signed_jobs_ = false;
  std::unique_ptr<production::StationPresenter> presenter_;
};

}  // namespace qz::app
