#pragma once

#include <QString>
#include <QTableWidget>

#include <vector>

namespace qz::app {

// One finished or running unit as the history shows it.
struct HistoryRow {
  QString time;     // when the unit started, local time
  QString port;
  QString serial;
  QString outcome;  // "PASS", "FAIL (N) message", or "unfinished"
  bool passed = false;
  bool failed = false;
};

// The last units from the production log, newest first: time, port, serial, outcome. Failed
// rows are marked in words and in red.
class HistoryTable final : public QTableWidget {
  Q_OBJECT

 public:
  explicit HistoryTable(QWidget* parent = nullptr);

  // Replaces the rows (newest first).
  void Show(const std::vector<HistoryRow>& rows);
};

}  // namespace qz::app
