#include "app/station_window.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QSocketNotifier>
#include <QSplitter>
#include <QTimer>
#include <QVBoxLayout>


#include <climits>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include <QDateTime>
#include <QMetaObject>

#include "app/app_icon.h"
#include "app/history_table.h"
#include "app/setup_panel.h"
#include "app/totals_bar.h"
#include "devices/device_session.h"
#include "hid/chip_identities.h"
#include "station/log_recorder.h"
#include "prodlog/production_log.h"
#include "prodlog/serial_numbers.h"
#include "virtual_station/virtual_operator.h"
#include "dialog/control_table.h"

namespace qz::app {

namespace {

QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// How many units the history shows.
constexpr std::size_t kHistoryRows = 50;
// How often the running times and the rate move on.
constexpr int kTickMs = 500;

bool AskYesNo(QWidget* parent, const std::string& caption, const QString& text) {
  QMessageBox box(QMessageBox::Warning, QString::fromStdString(caption), text,
                  QMessageBox::Yes | QMessageBox::No, parent);
  box.setTextFormat(Qt::PlainText);
  box.setDefaultButton(QMessageBox::No);
  box.setEscapeButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

}  // namespace

void StationWindow::DrainMailbox() { mailbox_->Drain(*this); }

StationWindow::StationWindow(DeviceSession& session, std::string app_name, QWidget* parent)
    : QWidget(parent),
      app_name_(std::move(app_name)),
      session_(session),
      clock_(session.GetClock()) {
  mailbox_ = std::make_shared<station::WindowMailbox<StationWindow>>();
  mailbox_->SetWake([this] {
    QMetaObject::invokeMethod(this, "DrainMailbox", Qt::QueuedConnection);
    return true;
  });
  setWindowTitle(FromUtf8(kWindowTitle) + QStringLiteral(" - Station"));
  setWindowIcon(AppIcon());
  BuildLayout();
  if (std::optional<jobs::StationSettings> settings = jobs::LoadStationSettings(&config_error_)) {
    station_settings_ = std::move(*settings);
    setup_->SetStationSettings(station_settings_);
  }
  ticker_ = new QTimer(this);
  ticker_->setInterval(kTickMs);
  connect(ticker_, &QTimer::timeout, this, [this] { Tick(); });
  WatchIdlePorts();
  UpdateButtons();
}

// Before Start the window follows the bus itself: a tile for every port where a chip sits, kept
// up to date by the hotplug source's events (the station takes the source over at Start).
void StationWindow::WatchIdlePorts() {
  HotplugSource* hotplug = session_.Hotplug();
  if (hotplug != nullptr && hotplug->Start()) {
    idle_hotplug_ = hotplug;
    if (hotplug->PollFd() >= 0) {
      idle_notifier_ = new QSocketNotifier(hotplug->PollFd(), QSocketNotifier::Read, this);
      connect(idle_notifier_, &QSocketNotifier::activated, this, [this] {
        if (idle_hotplug_ != nullptr) (void)idle_hotplug_->TakeEvents();
        ShowIdlePorts();
      });
    }
  }
  ShowIdlePorts();
}

void StationWindow::StopWatchingIdlePorts() {
  delete idle_notifier_;
  idle_notifier_ = nullptr;
  if (idle_hotplug_ != nullptr) idle_hotplug_->Stop();
  idle_hotplug_ = nullptr;
}

void StationWindow::ShowIdlePorts() {
  if (Running() || ended_ || core_ != nullptr) return;
  const std::vector<std::string> chips = jobs::PortsWithChips(session_.BusBackend());
  const std::set<std::string> present(chips.begin(), chips.end());
  for (auto it = tiles_.begin(); it != tiles_.end();) {
    if (present.count(it->first.toStdString()) != 0) {
      ++it;
      continue;
    }
    tile_grid_->removeWidget(it->second);
    delete it->second;
    ports_.erase(it->first.toStdString());
    it = tiles_.erase(it);
  }
  for (const std::string& port : present) {
    ViewOf(port).view.phase = TilePhase::kIdle;
    ShowPort(port);
  }
}

void StationWindow::BuildLayout() {
  setup_ = new SetupPanel(clock_, app_name_, this);
  auto* setup_scroll = new QScrollArea(this);
  setup_scroll->setWidget(setup_);
  setup_scroll->setWidgetResizable(true);
  setup_scroll->setMinimumWidth(setup_->sizeHint().width() + 24);

  start_ = new QPushButton(QStringLiteral("Start"), this);
  start_->setObjectName(QStringLiteral("start"));
  stop_ = new QPushButton(QStringLiteral("Stop"), this);
  stop_->setObjectName(QStringLiteral("stop"));
  for (QPushButton* button : {start_, stop_}) {
    // No key press starts or stops anything: the buttons take no focus and are no default.
    button->setAutoDefault(false);
    button->setFocusPolicy(Qt::NoFocus);
    button->setMinimumHeight(36);
    button->setMinimumWidth(110);
  }
  connect(start_, &QPushButton::clicked, this, [this] { (void)StartProduction(); });
  connect(stop_, &QPushButton::clicked, this, [this] { StopProduction(); });
  connect(setup_, &SetupPanel::ImageChecked, this, [this] { UpdateButtons(); });

  status_ = new QLabel(this);
  status_->setObjectName(QStringLiteral("status"));
  status_->setTextFormat(Qt::PlainText);
  status_->setWordWrap(true);
  totals_ = new TotalsBar(this);

  auto* tiles = new QWidget(this);
  tile_grid_ = new QGridLayout(tiles);
  tile_grid_->setSpacing(8);
  auto* tile_scroll = new QScrollArea(this);
  tile_scroll->setWidget(tiles);
  tile_scroll->setWidgetResizable(true);
  tile_scroll->setFrameShape(QFrame::NoFrame);

  history_ = new HistoryTable(this);

  auto* buttons = new QHBoxLayout();
  buttons->addWidget(start_);
  buttons->addWidget(stop_);
  buttons->addWidget(status_, 1);

  auto* right = new QWidget(this);
  auto* right_layout = new QVBoxLayout(right);
  right_layout->setContentsMargins(0, 0, 0, 0);
  right_layout->addLayout(buttons);
  right_layout->addWidget(totals_);
  auto* split = new QSplitter(Qt::Vertical, right);
  split->addWidget(tile_scroll);
  split->addWidget(history_);
  split->setStretchFactor(0, 3);
  split->setStretchFactor(1, 1);
  split->setSizes({440, 260});
  right_layout->addWidget(split, 1);

  auto* layout = new QHBoxLayout(this);
  layout->addWidget(setup_scroll);
  layout->addWidget(right, 1);
  resize(1280, 800);
}

PortTile* StationWindow::Tile(const QString& port) const {
  auto it = tiles_.find(port);
  return it == tiles_.end() ? nullptr : it->second;
}

PortTile* StationWindow::TileFor(const QString& port) {
  if (PortTile* tile = Tile(port)) return tile;
  auto* tile = new PortTile(port, this);
  tiles_[port] = tile;
  // in port order, in a near-square grid (two to a row up to four ports, at most four a row),
  // so that a tile is wide enough to read its state at a glance
  const int count = static_cast<int>(tiles_.size());
  const int columns = count <= 1 ? 1 : count <= 4 ? 2 : count <= 9 ? 3 : 4;
  int index = 0;
  for (auto& [name, each] : tiles_) {
    tile_grid_->removeWidget(each);
    tile_grid_->addWidget(each, index / columns, index % columns);
    ++index;
  }
  return tile;
}

QString StationWindow::StatusText() const { return status_->text(); }

void StationWindow::SetStatus(const QString& text, bool alarm) {
  status_->setText(text);
  status_->setStyleSheet(alarm ? QStringLiteral("color: #b00000; font-weight: bold;") : QString());
}

void StationWindow::SetReplug(station::ReplugMode mode, station::PowerReplugger* replugger) {
  replug_ = mode;
  power_replug_ = replugger;
}

void StationWindow::SetConfirmer(Confirmer confirmer) { confirmer_ = std::move(confirmer); }

bool StationWindow::Running() const { return core_ != nullptr && core_->running; }

bool StationWindow::JobsRunning() const {
  if (!Running()) return false;
  for (const auto& [port, view] : ports_) {
    if (view.state == station::PortState::kProgramming ||
        view.state == station::PortState::kReplug) {
      return true;
    }
  }
  return false;
}

void StationWindow::UpdateButtons() {
  const bool running = Running();
  start_->setEnabled(!running && !ended_ && config_error_.empty() && setup_->ImageAccepted());
  stop_->setEnabled(running && !stopping_);
  setup_->SetLocked(running);
  const QString choose = QStringLiteral("Choose an image that passes its check to start.");
  const QString job_only = QStringLiteral("This station runs only signed jobs: Load job… to start.");
  if (!config_error_.empty()) {
    SetStatus(QString::fromStdString(config_error_), true);
  } else if (!running && !ended_ && core_ == nullptr) {
    if (!setup_->ImageAccepted()) {
      SetStatus(station_settings_.require_signed_jobs ? job_only : choose);
    } else if (StatusText() == choose || StatusText() == job_only) {
      SetStatus(QStringLiteral("Ready: press Start."));
    }
  }
}

bool StationWindow::StartProduction() {
  if (Running() || ended_ || !config_error_.empty()) return false;
  // the overrides are checked with the dialog's rules before any chip is touched
  if (!setup_->CheckOverrides()) {
    SetStatus(QStringLiteral("Not started: the overrides were refused."), true);
    UpdateButtons();
    return false;
  }
  std::string error;
  if (!StartCore(&error)) {
    SetStatus(QStringLiteral("Not started: ") + QString::fromStdString(error), true);
    UpdateButtons();
    return false;
  }
  stopping_ = false;
  started_at_ = clock_.Now();
  SetStatus(QStringLiteral("Running: plug in the units."));
  ticker_->start();
  RefreshTotals();
  RefreshHistory();
  UpdateButtons();
  return true;
}

void StationWindow::StopProduction() {
  if (!Running() || stopping_) return;
  stopping_ = true;
  core_->station->RequestStop();  // running jobs finish, no unit starts
  SetStatus(JobsRunning() ? QStringLiteral("Stopping: the running units finish first.")
                          : QStringLiteral("Stopping."));
  UpdateButtons();
}

void StationWindow::OnCoreStopped() {
  if (core_ == nullptr || !core_->running || ended_) return;
  core_->Join();
  core_->running = false;
  stopping_ = false;
  ticker_->stop();
  RefreshTotals();
  RefreshHistory();
  SetStatus(QStringLiteral("Stopped."));
  UpdateButtons();
  if (close_after_stop_) EndNow();
}

void StationWindow::OnTerminationSignal() {
  if (ended_) return;
  if (close_after_stop_ || !JobsRunning()) {
    EndNow();
    return;
  }
  // Cutting the jobs short would leave chips without a header: they finish first.
  close_after_stop_ = true;
  setWindowTitle(windowTitle() + QStringLiteral(" - closing after the running units"));
  StopProduction();
}

void StationWindow::closeEvent(QCloseEvent* event) {
  if (ended_) {
    event->accept();
    return;
  }
  if (JobsRunning()) {
    // Stopping jobs half-way leaves chips without a header: only an explicit yes does it.
    const QString question = FromUtf8(kStopJobsQuestion);
    const bool stop = confirmer_ ? confirmer_(question) : AskYesNo(this, app_name_, question);
    if (!stop || ended_) {
      event->ignore();
      return;
    }
  }
  EndNow();
  event->accept();
}

void StationWindow::EndNow() {
  if (ended_) return;
  ended_ = true;
  ticker_->stop();
  if (core_ != nullptr) {
    core_->StopNow();  // every port's dialog object ends as by its Exit: worker stopped, joined
    core_->running = false;
  }
  UpdateButtons();
  hide();
  Q_EMIT Ended();
}

StationWindow::~StationWindow() {
  StopWatchingIdlePorts();
  if (core_ != nullptr) core_->StopNow();
}

bool StationWindow::StartCore(std::string* error) {
  // the ports: as listed, or every port where a chip shows up now
  const std::optional<std::vector<std::string>> ports =
      jobs::RunPorts(setup_->Ports(), session_.BusBackend(), error);
  if (!ports) return false;
  // the choices, the serial numbers and the log row's start, checked as every unit's will be
  std::optional<jobs::StationStart> start = setup_->PrepareStart(error);
  if (!start) return false;

  // the log
  std::string path = setup_->LogFile();
  const prodlog::UnitStart& unit_start = start->unit_start;
  auto core = std::make_unique<station::StationRun>();
  prodlog::LogError log_error;
  core->log = prodlog::OpenUnitLog(path, unit_start, {}, &log_error);
  if (!core->log) {
    *error = log_error.message;
    return false;
  }
  core->log->SetLineListener([mailbox = mailbox_](const prodlog::LineState& state) {
    mailbox->Post([state](StationWindow& w) { w.OnLineState(state); });
  });
  log_path_ = path;
  const station::UnitChoices& choices = start->choices;
  core->recorder = std::make_unique<station::LogRecorder>(*core->log, unit_start);

  if (session_.Chip() != nullptr) {
    core->virtual_operator = std::make_unique<station::VirtualOperator>(
        clock_, [this](const std::string& port) { return session_.ChipOnPort(port); });
  }

  station::StationConfig config;
  config.ports = *ports;
  config.choices = choices;
  config.loop = true;
  // every port: also those where a chip first shows up after Start
  config.take_up_new_ports = setup_->Ports().empty();
  config.app_name = app_name_;
  config.replug = replug_;
  config.power_replug = power_replug_;
  core->station = std::make_unique<station::Station>(
      session_.BusBackend(), session_.Hotplug(), clock_, std::move(config), *mailbox_,
      core->recorder.get(), core->virtual_operator.get());

  // tiles: the ports of this run, in order; the station follows the bus from now on
  StopWatchingIdlePorts();
  for (auto& [name, tile] : tiles_) {
    tile_grid_->removeWidget(tile);
    delete tile;
  }
  tiles_.clear();
  ports_.clear();
  for (const std::string& port : *ports) {
    ViewOf(port).view.phase = TilePhase::kWaiting;
    ShowPort(port);
  }

  core_ = std::move(core);
  core_->Start([mailbox = mailbox_] {
    mailbox->Post([](StationWindow& w) { w.OnCoreStopped(); });
  });
  return true;
}

StationWindow::PortView& StationWindow::ViewOf(const std::string& port) { return ports_[port]; }

void StationWindow::ShowPort(const std::string& port) {
  TileFor(QString::fromStdString(port))->Show(ViewOf(port).view);
}

void StationWindow::OnPortState(const std::string& port, station::PortState state) {
  PortView& port_view = ViewOf(port);
  TileView& view = port_view.view;
  const station::PortState previous = port_view.state;
  port_view.state = state;
  switch (state) {
    case station::PortState::kWaiting:
      // the finished unit has been taken away: its outcome stays as one line
      if (previous == station::PortState::kPassed || previous == station::PortState::kFailed) {
        const QString last = view.phase == TilePhase::kFail
                                 ? QStringLiteral("Last unit: FAIL (%1) %2").arg(view.code).arg(view.serial)
                                 : QStringLiteral("Last unit: PASS %1").arg(view.serial);
        view = TileView{};
        view.phase = TilePhase::kWaiting;
        view.message = last.trimmed();
      } else {
        view.phase = TilePhase::kWaiting;
      }
      break;
    case station::PortState::kProgramming:
      view.phase = TilePhase::kProgramming;
      break;
    case station::PortState::kReplug:
      view.phase = TilePhase::kReplug;
      break;
    case station::PortState::kPassed:
      view.phase = TilePhase::kPass;
      view.remove = true;
      break;
    case station::PortState::kFailed:
      view.phase = TilePhase::kFail;
      view.remove = true;
      break;
    case station::PortState::kStopped:
      // a finished unit keeps its colour until it is taken away, stopped or not
      if (view.phase != TilePhase::kFail && view.phase != TilePhase::kPass) {
        view.phase = TilePhase::kIdle;
        view.percent = 0;
      }
      break;
  }
  ShowPort(port);
  UpdateButtons();
}

void StationWindow::OnPortProgress(const std::string& port, int percent) {
  TileView& view = ViewOf(port).view;
  if (view.phase != TilePhase::kProgramming || view.percent == percent) return;
  view.percent = percent;
  ShowPort(port);
}

void StationWindow::OnPortMessage(const std::string& port, const std::string& text) {
  ViewOf(port).view.message = QString::fromStdString(text);
  ShowPort(port);
}

void StationWindow::OnUnitStarted(const std::string& port, const std::string& serial) {
  PortView& port_view = ViewOf(port);
  port_view.unit_started = clock_.Now();
  port_view.view = TileView{};
  port_view.view.phase = TilePhase::kProgramming;
  port_view.view.serial = QString::fromStdString(serial);
  port_view.view.seconds = 0;
  ShowPort(port);
}

void StationWindow::OnStationProblem(const std::string& text) {
  SetStatus(QString::fromStdString(text), true);
}

void StationWindow::OnLineState(const prodlog::LineState& state) {
  SetStatus(QString::fromStdString(prodlog::LineStateText(state)), !state.online);
}

void StationWindow::OnUnitFinished(const station::UnitReport& unit) {
  TileView& view = ViewOf(unit.port).view;
  view.code = unit.exit;
  view.message = QString::fromStdString(unit.message);
  view.seconds = std::chrono::duration<double>(unit.duration).count();
  view.phase = unit.passed ? TilePhase::kPass : TilePhase::kFail;
  view.remove = true;
  if (unit.log_failed) view.message += QStringLiteral("\nIts log row could not be completed.");
  ShowPort(unit.port);
  RefreshTotals();
  history_stale_ = true;  // read again at the next tick: units may end faster than that
}

void StationWindow::Tick() {
  const Clock::Duration now = clock_.Now();
  for (auto& [port, port_view] : ports_) {
    const TilePhase phase = port_view.view.phase;
    if (phase != TilePhase::kProgramming && phase != TilePhase::kReplug) continue;
    port_view.view.seconds = std::chrono::duration<double>(now - port_view.unit_started).count();
    ShowPort(port);
  }
  RefreshTotals();
  if (history_stale_) RefreshHistory();
}

void StationWindow::RefreshTotals() {
  if (core_ == nullptr || core_->station == nullptr) return;
  const station::StationTotals totals = core_->station->Totals();
  Totals shown;
  shown.units = static_cast<std::uint64_t>(totals.units);
  shown.passed = static_cast<std::uint64_t>(totals.passed);
  shown.failed = static_cast<std::uint64_t>(totals.failed);
  shown.hours = std::chrono::duration<double, std::ratio<3600>>(clock_.Now() - started_at_).count();
  totals_->Show(shown);
}

void StationWindow::RefreshHistory() {
  history_stale_ = false;
  if (core_ == nullptr || core_->log == nullptr) return;
  prodlog::LogError error;
  const std::optional<std::vector<prodlog::UnitRecord>> rows = core_->log->Rows({}, &error);
  if (!rows) {
    SetStatus(QString::fromStdString(error.message), true);
    return;
  }
  std::vector<HistoryRow> shown;
  for (auto it = rows->rbegin(); it != rows->rend() && shown.size() < kHistoryRows; ++it) {
    HistoryRow row;
    const QDateTime started = QDateTime::fromString(QString::fromStdString(it->started), Qt::ISODateWithMs);
    row.time = started.isValid() ? started.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                                 : QString::fromStdString(it->started);
    row.port = QString::fromStdString(it->port);
    row.serial = QString::fromStdString(it->serial);
    if (!it->finished) {
      row.outcome = QStringLiteral("unfinished");
    } else if (it->exit_code == 0) {
      row.outcome = QStringLiteral("PASS");
      row.passed = true;
    } else {
      row.outcome = QStringLiteral("FAIL (%1) %2").arg(it->exit_code).arg(QString::fromStdString(it->message));
      row.failed = true;
    }
    shown.push_back(row);
  }
  history_->Show(shown);
}

void StationWindow::BringToFront() {
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
}

}  // namespace qz::app
