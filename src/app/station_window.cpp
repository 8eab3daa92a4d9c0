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
#include <QMetaObject>
#include <QVBoxLayout>

#include <set>
#include <utility>
#include <vector>

#include "app/app_icon.h"
#include "app/history_table.h"
#include "app/setup_panel.h"
#include "app/totals_bar.h"
#include "devices/device_session.h"
#include "dialog/control_table.h"

namespace qz::app {

namespace {

QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

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

void StationWindow::DrainMailbox() { presenter_->Drain(); }

StationWindow::StationWindow(DeviceSession& session, std::string app_name, QWidget* parent)
    : QWidget(parent),
      app_name_(std::move(app_name)),
      session_(session),
      clock_(session.GetClock()) {
  production::StationFace& face = *this;
  presenter_ = std::make_unique<production::StationPresenter>(session_.BusBackend(),
                                                              session_.Hotplug(), clock_, face);
  setWindowTitle(FromUtf8(kWindowTitle) + QStringLiteral(" - Station"));
  setWindowIcon(AppIcon());
  BuildLayout();
  std::string config_error;
  if (std::optional<production::StationSettings> settings =
          production::LoadStationSettings(&config_error)) {
    require_signed_jobs_ = settings->require_signed_jobs;
    setup_->SetStationSettings(*settings);
  }
  ticker_ = new QTimer(this);
  ticker_->setInterval(kTickMs);
  connect(ticker_, &QTimer::timeout, this, [this] { presenter_->Tick(); });
  WatchIdlePorts();
  presenter_->SetConfigError(config_error);
  RunChanged();
}

bool StationWindow::Wake() {
  QMetaObject::invokeMethod(this, "DrainMailbox", Qt::QueuedConnection);
  return true;
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

void StationWindow::ShowIdlePorts() { presenter_->ShowIdlePorts(setup_->Ports()); }

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
  connect(setup_, &SetupPanel::ImageChecked, this, [this] { RunChanged(); });

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

bool StationWindow::Running() const { return presenter_->Running(); }

bool StationWindow::JobsRunning() const { return presenter_->JobsRunning(); }

void StationWindow::RunChanged() {
  if (start_ == nullptr) return;
  const bool running = presenter_->Running();
  start_->setEnabled(presenter_->CanStart(setup_->ImageAccepted()));
  stop_->setEnabled(running && !presenter_->Stopping());
  setup_->SetLocked(running);
  presenter_->SetSetupState(setup_->ImageAccepted(), require_signed_jobs_);
  // (started once: a restart would put the next tick off again)
  if (running && !ticker_->isActive()) {
    ticker_->start();
  } else if (!running) {
    ticker_->stop();
  }
  if (presenter_->ClosingAfterStop() &&
      !windowTitle().endsWith(QStringLiteral(" - closing after the running units"))) {
    setWindowTitle(windowTitle() + QStringLiteral(" - closing after the running units"));
  }
}

void StationWindow::StatusChanged() {
  SetStatus(QString::fromStdString(presenter_->Status()), presenter_->StatusAlarm());
}

bool StationWindow::StartProduction() {
  if (!presenter_->Started()) StopWatchingIdlePorts();
  production::StartSteps steps;
  steps.image_accepted = setup_->ImageAccepted();
  steps.require_signed_jobs = require_signed_jobs_;
  steps.check_overrides = [this] { return setup_->CheckOverrides(); };
  steps.listed_ports = setup_->Ports();
  steps.prepare = [this](std::string* error) { return setup_->PrepareStart(error); };
  steps.log_location = setup_->LogFile();
  production::RunPlan plan;
  plan.app_name = app_name_;
  plan.replug = replug_;
  plan.power_replug = power_replug_;
  if (session_.Chip() != nullptr) {
    plan.virtual_chip = [this](const std::string& port) { return session_.ChipOnPort(port); };
  }
  const bool started = presenter_->Start(steps, std::move(plan));
  if (!started && !presenter_->Started()) WatchIdlePorts();
  return started;
}

void StationWindow::StopProduction() { presenter_->Stop(); }

void StationWindow::OnTerminationSignal() { presenter_->OnTerminationSignal(); }

void StationWindow::closeEvent(QCloseEvent* event) {
  if (presenter_->Close()) {
    event->accept();
  } else {
    event->ignore();
  }
}

bool StationWindow::Confirm(const std::string& question) {
  const QString text = FromUtf8(question);
  return confirmer_ ? confirmer_(text) : AskYesNo(this, app_name_, text);
}

void StationWindow::Close() {
  ticker_->stop();
  hide();
  Q_EMIT Ended();
}

StationWindow::~StationWindow() {
  StopWatchingIdlePorts();
  presenter_.reset();
}

void StationWindow::TilesChanged() {
  std::set<QString> shown;
  for (const auto& [port, tile] : presenter_->Tiles()) shown.insert(QString::fromStdString(port));
  for (auto it = tiles_.begin(); it != tiles_.end();) {
    if (shown.count(it->first) != 0) {
      ++it;
      continue;
    }
    tile_grid_->removeWidget(it->second);
    delete it->second;
    it = tiles_.erase(it);
  }
  for (const QString& port : shown) (void)TileFor(port);
}

void StationWindow::TileChanged(const std::string& port) {
  if (const production::TileState* tile = presenter_->Tile(port)) {
    TileFor(QString::fromStdString(port))->Show(TileView::Of(*tile));
  }
}

void StationWindow::TotalsChanged() {
  const production::TotalsFigures figures = presenter_->Totals();
  Totals shown;
  shown.units = static_cast<std::uint64_t>(figures.units);
  shown.passed = static_cast<std::uint64_t>(figures.passed);
  shown.failed = static_cast<std::uint64_t>(figures.failed);
  shown.hours = figures.hours;
  totals_->Show(shown);
}

void StationWindow::HistoryChanged() { history_->Show(presenter_->History()); }

void StationWindow::BringToFront() {
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
}

}  // namespace qz::app
