#include "app/totals_bar.h"

#include <QHBoxLayout>
#include <QLabel>

namespace qz::app {

namespace {

QLabel* MakeCount(const QString& name, const QString& colour, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setObjectName(name);
  label->setTextFormat(Qt::PlainText);
  QFont font = label->font();
  font.setBold(true);
  font.setPointSizeF(font.pointSizeF() * 1.3);
  label->setFont(font);
  if (!colour.isEmpty()) label->setStyleSheet(QStringLiteral("color: %1;").arg(colour));
  return label;
}

}  // namespace

TotalsBar::TotalsBar(QWidget* parent)
    : QWidget(parent),
      units_(MakeCount(QStringLiteral("units"), {}, this)),
      passed_(MakeCount(QStringLiteral("passed"), QStringLiteral("#0f5e1c"), this)),
      failed_(MakeCount(QStringLiteral("failed"), QStringLiteral("#8b0000"), this)),
      yield_(MakeCount(QStringLiteral("yield"), {}, this)),
      rate_(MakeCount(QStringLiteral("rate"), {}, this)) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(24);
  for (QLabel* label : {units_, passed_, failed_, yield_, rate_}) layout->addWidget(label);
  layout->addStretch(1);
  Show({});
}

void TotalsBar::Show(const Totals& totals) {
  totals_ = totals;
  units_->setText(QStringLiteral("Units %1").arg(totals.units));
  passed_->setText(QStringLiteral("Passed %1").arg(totals.passed));
  failed_->setText(QStringLiteral("Failed %1").arg(totals.failed));
  const std::uint64_t ended = totals.passed + totals.failed;
  yield_->setText(ended == 0 ? QStringLiteral("Yield -")
                             : QStringLiteral("Yield %1 %").arg(
                                   100.0 * static_cast<double>(totals.passed) /
                                       static_cast<double>(ended),
                                   0, 'f', 1));
  // Under a minute of production the rate says nothing yet.
  rate_->setText(totals.hours < 1.0 / 60.0
                     ? QStringLiteral("Units/h -")
                     : QStringLiteral("Units/h %1").arg(
                           static_cast<double>(totals.units) / totals.hours, 0, 'f', 0));
  setAccessibleDescription(Text());
}

QString TotalsBar::Text() const {
  return QStringList{units_->text(), passed_->text(), failed_->text(), yield_->text(),
                     rate_->text()}
      .join(QStringLiteral("   "));
}

}  // namespace qz::app
