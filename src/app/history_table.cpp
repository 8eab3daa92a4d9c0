#include "app/history_table.h"

#include <QHeaderView>

namespace qz::app {

HistoryTable::HistoryTable(QWidget* parent) : QTableWidget(0, 4, parent) {
  setObjectName(QStringLiteral("history"));
  setHorizontalHeaderLabels({QStringLiteral("Time"), QStringLiteral("Port"),
                             QStringLiteral("Serial"), QStringLiteral("Outcome")});
  horizontalHeader()->setStretchLastSection(true);
  verticalHeader()->setVisible(false);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setSelectionMode(QAbstractItemView::NoSelection);
  setFocusPolicy(Qt::NoFocus);
}

void HistoryTable::Show(const std::vector<production::HistoryRow>& rows) {
  setRowCount(static_cast<int>(rows.size()));
  for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
    const production::HistoryRow& row = rows[static_cast<std::size_t>(r)];
    const std::string* texts[] = {&row.time, &row.port, &row.serial, &row.outcome};
    for (int c = 0; c < 4; ++c) {
      auto* item = new QTableWidgetItem(QString::fromStdString(*texts[c]));
      if (row.failed) {
        item->setForeground(QColor(0x8b, 0x00, 0x00));
        item->setBackground(QColor(0xff, 0xe5, 0xe5));
      } else if (row.passed) {
        item->setForeground(QColor(0x0f, 0x5e, 0x1c));
      }
      setItem(r, c, item);
    }
  }
  resizeColumnsToContents();
  horizontalHeader()->setStretchLastSection(true);
}

}  // namespace qz::app
