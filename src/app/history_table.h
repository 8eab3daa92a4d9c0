#pragma once

#include <QString>
#include <QTableWidget>

#include <vector>

#include "production/station_presenter.h"

namespace qz::app {

// The last units from the production log, newest first: time (local, with its UTC offset),
// port, serial, outcome. Failed rows are marked in words and in red.
class HistoryTable final : public QTableWidget {
  Q_OBJECT

 public:
  explicit HistoryTable(QWidget* parent = nullptr);

  // Replaces the rows (newest first).
  void Show(const std::vector<production::HistoryRow>& rows);
};

}  // namespace qz::app
