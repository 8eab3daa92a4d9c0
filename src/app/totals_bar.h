#pragma once

#include <QWidget>

#include <cstdint>

class QLabel;

namespace qz::app {

// The station's counts since production started.
struct Totals {
  std::uint64_t units = 0;
  std::uint64_t passed = 0;
  std::uint64_t failed = 0;
  double hours = 0;  // production time so far
};

// One line of totals: units, passed, failed, yield and units per hour.
class TotalsBar final : public QWidget {
  Q_OBJECT

 public:
  explicit TotalsBar(QWidget* parent = nullptr);

  void Show(const Totals& totals);
  [[nodiscard]] const Totals& Shown() const { return totals_; }
  // The line as shown, for tests and the accessible description.
  [[nodiscard]] QString Text() const;

 private:
  Totals totals_;
  QLabel* units_;
  QLabel* passed_;
  QLabel* failed_;
  QLabel* yield_;
  QLabel* rate_;
};

}  // namespace qz::app
