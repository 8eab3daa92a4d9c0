#include "app/station_window.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QSplitter>
#include <QTimer>
#include <QVBoxLayout>

#include <utility>

#include "app/app_icon.h"
#include "app/history_table.h"
#include "app/setup_panel.h"
#include "app/totals_bar.h"
#include "cli/device_options.h"
#include "dialog/control_table.h"

namespace qz::app {

namespace {

QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// How many units the history shows.
constexpr int kHistoryRows = 50;
// How often the running times and the rate move on.
constexpr int kTickMs = 500;

}  // namespace

struct StationWindow::Core {};

StationWindow::StationWindow(cli::DeviceSession& session, std::string app_name, QWidget* parent)
    : QWidget(parent),
      app_name_(std::move(app_name)),
      session_(session),
      clock_(session.GetClock()) {
  setWindowTitle(FromUtf8(kWindowTitle) + QStringLiteral(" - Station"));
  setWindowIcon(AppIcon());
  BuildLayout();
  ticker_ = new QTimer(this);
  ticker_->setInterval(kTickMs);
  connect(ticker_, &QTimer::timeout, this, [this] { RefreshTotals(); });
  UpdateButtons();
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
  // in port order, four to a row
  constexpr int kColumns = 4;
  int index = 0;
  for (auto& [name, each] : tiles_) {
    tile_grid_->removeWidget(each);
    tile_grid_->addWidget(each, index / kColumns, index % kColumns);
    ++index;
  }
  return tile;
}

QString StationWindow::StatusText() const { return status_->text(); }

void StationWindow::SetStatus(const QString& text, bool alarm) {
  status_->setText(text);
  status_->setStyleSheet(alarm ? QStringLiteral("color: #b00000; font-weight: bold;") : QString());
}

void StationWindow::SetConfirmer(Confirmer confirmer) { confirmer_ = std::move(confirmer); }

void StationWindow::BringToFront() {
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
}

}  // namespace qz::app
