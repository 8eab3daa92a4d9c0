#include "app/port_tile.h"

#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>

#include <algorithm>

namespace qz::app {

namespace {

struct Look {
  const char* background;
  const char* foreground;
  const char* border;
};

// Colours back the words, never replace them: every phase has its own word and symbol.
Look LookOf(const TileView& view) {
  switch (view.phase) {
    case TilePhase::kNoChip:
    case TilePhase::kReady:
    case TilePhase::kStopped:
      return {"#eeeeee", "#555555", "#bbbbbb"};
    case TilePhase::kWaiting:
      return {"#f4f6f8", "#333333", "#9aa5b1"};
    case TilePhase::kProgramming:
      return {"#e3efff", "#0b3d91", "#3b7dd8"};
    case TilePhase::kReplug:
      return {"#fff4d6", "#6b4e00", "#d9a400"};
    case TilePhase::kPass:
      return {"#d9f5dd", "#0f5e1c", "#1e9e3a"};
    case TilePhase::kFail:
      return {"#ffd9d9", "#8b0000", "#d11a1a"};
  }
  return {"#ffffff", "#000000", "#000000"};
}

QString Seconds(double seconds) { return QStringLiteral("%1 s").arg(seconds, 0, 'f', 1); }

}  // namespace

PortTile::PortTile(const QString& port, QWidget* parent)
    : QFrame(parent),
      port_(port),
      port_label_(new QLabel(port, this)),
      state_label_(new QLabel(this)),
      progress_(new QProgressBar(this)),
      message_label_(new QLabel(this)),
      serial_label_(new QLabel(this)),
      time_label_(new QLabel(this)) {
  setObjectName(QStringLiteral("tile-") + port);
  setFrameShape(QFrame::NoFrame);
  setMinimumSize(220, 150);

  QFont port_font = port_label_->font();
  port_font.setBold(true);
  port_label_->setFont(port_font);
  port_label_->setTextFormat(Qt::PlainText);

  QFont state_font = state_label_->font();
  state_font.setBold(true);
  state_font.setPointSizeF(state_font.pointSizeF() * 1.4);
  state_label_->setFont(state_font);
  state_label_->setWordWrap(true);
  state_label_->setObjectName(QStringLiteral("state"));
  state_label_->setTextFormat(Qt::PlainText);

  progress_->setRange(0, 100);
  progress_->setTextVisible(true);
  progress_->setFormat(QStringLiteral("%p %"));

  message_label_->setObjectName(QStringLiteral("message"));
  message_label_->setTextFormat(Qt::PlainText);
  message_label_->setWordWrap(true);
  message_label_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  serial_label_->setObjectName(QStringLiteral("serial"));
  serial_label_->setTextFormat(Qt::PlainText);
  time_label_->setObjectName(QStringLiteral("time"));
  time_label_->setTextFormat(Qt::PlainText);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(10, 8, 10, 8);
  layout->setSpacing(4);
  layout->addWidget(port_label_);
  layout->addWidget(state_label_);
  layout->addWidget(progress_);
  layout->addWidget(message_label_, 1);
  layout->addWidget(serial_label_);
  layout->addWidget(time_label_);
  Paint();
}

TileView TileView::Of(const production::TileState& tile) {
  TileView view;
  view.phase = tile.phase;
  view.percent = tile.percent;
  view.code = tile.code;
  view.message = QString::fromStdString(tile.message);
  view.serial = QString::fromStdString(tile.serial);
  view.seconds = tile.seconds;
  view.remove = tile.remove;
  return view;
}

QString PortTile::StateText(const TileView& view) {
  // a symbol before the words, so the state reads at a glance
  const char* symbol = "-";
  switch (view.phase) {
    case TilePhase::kNoChip:
    case TilePhase::kStopped:
      symbol = "-";
      break;
    case TilePhase::kReady:
      symbol = "○";
      break;
    case TilePhase::kWaiting:
      symbol = "…";
      break;
    case TilePhase::kProgramming:
      symbol = "►";
      break;
    case TilePhase::kReplug:
      symbol = "↻";
      break;
    case TilePhase::kPass:
      symbol = "✔";
      break;
    case TilePhase::kFail:
      symbol = "✖";
      break;
  }
  production::TileState tile;
  tile.phase = view.phase;
  tile.percent = view.percent;
  tile.code = view.code;
  tile.remove = view.remove;
  return QString::fromUtf8(symbol) + QStringLiteral("  ") +
         QString::fromStdString(production::TileStateText(tile));
}

void PortTile::Show(const TileView& view) {
  view_ = view;
  Paint();
}

void PortTile::Paint() {
  const Look look = LookOf(view_);
  // The failure gets a border twice as thick, so it stands out in grey as well.
  const int border = view_.phase == TilePhase::kFail ? 4 : 2;
  setStyleSheet(QStringLiteral("QFrame#%1 { background: %2; border: %3px solid %4;"
                               " border-radius: 6px; } QLabel { color: %5; background: transparent;"
                               " border: none; }")
                    .arg(objectName(), QLatin1String(look.background))
                    .arg(border)
                    .arg(QLatin1String(look.border), QLatin1String(look.foreground)));

  const QString state = StateText(view_);
  state_label_->setText(state);
  setAccessibleDescription(port_ + QStringLiteral(": ") + state);
  progress_->setVisible(view_.phase == TilePhase::kProgramming);
  progress_->setValue(std::clamp(view_.percent, 0, 100));
  message_label_->setText(view_.message);
  serial_label_->setText(view_.serial.isEmpty() ? QString()
                                                : QStringLiteral("serial  ") + view_.serial);
  time_label_->setText(view_.seconds < 0 ? QString() : QStringLiteral("time  ") + Seconds(view_.seconds));
}

}  // namespace qz::app
