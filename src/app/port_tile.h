#pragma once

#include <QFrame>
#include <QString>

#include <string>

#include "production/station_presenter.h"

class QLabel;
class QProgressBar;

namespace qz::app {

// Where one port's unit is, as its tile shows it.
using TilePhase = production::TilePhase;

// Everything one tile shows.
struct TileView {
  TilePhase phase = TilePhase::kReady;
  int percent = 0;
  int code = 0;         // the unit's outcome (exit status as `write` gives it), with kFail
  QString message;      // the last message for this port: the system's own words
  QString serial;       // the unit's serial number, or empty
  double seconds = -1;  // the unit's time so far (or in all, once ended); < 0: none
  bool remove = false;  // with kPass/kFail: the unit is finished and waits to be taken away

  // What the presenter reports for the tile.
  [[nodiscard]] static TileView Of(const production::TileState& tile);
};

// One port of the station: its path, a state that colour and words both carry (green PASS,
// red FAIL with its code, and so on), the job's progress, the port's last message, the unit's
// serial number and time. Messages that the dialog shows in modal boxes appear here instead,
// so one port's message never holds another port.
class PortTile final : public QFrame {
  Q_OBJECT

 public:
  explicit PortTile(const QString& port, QWidget* parent = nullptr);

  [[nodiscard]] const QString& Port() const { return port_; }
  [[nodiscard]] const TileView& View() const { return view_; }

  // Shows `view`.
  void Show(const TileView& view);

  // The words of the state line (also the tile's accessible description).
  [[nodiscard]] static QString StateText(const TileView& view);

 private:
  void Paint();

  QString port_;
  TileView view_;
  QLabel* port_label_;
  QLabel* state_label_;
  QProgressBar* progress_;
  QLabel* message_label_;
  QLabel* serial_label_;
  QLabel* time_label_;
};

}  // namespace qz::app
