#include "app/dialog_units.h"

#include <QFontMetrics>
#include <QString>

#include <cmath>

namespace qz::app {

namespace {

// a * b / c rounded to the nearest integer, halves away from zero (as the platform's MulDiv).
int MulDiv(int a, int b, int c) {
  const long long product = static_cast<long long>(a) * b;
  const long long half = c / 2;
  return static_cast<int>(product >= 0 ? (product + half) / c : (product - half) / c);
}

}  // namespace

DialogBaseUnits BaseUnitsOf(const QFont& font) {
  const QFontMetrics metrics(font);
  static const QString kLetters =
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  DialogBaseUnits units;
  units.width = MulDiv(metrics.horizontalAdvance(kLetters), 1, 52);
  units.height = metrics.height();
  if (units.width < 1) units.width = 1;
  if (units.height < 1) units.height = 1;
  return units;
}

DialogBaseUnits WidenToFit(DialogBaseUnits units, int needed_pixels, int dialog_units) {
  if (dialog_units <= 0) return units;
  const double needed_width = 4.0 * needed_pixels / dialog_units;
  if (needed_width > units.width) units.width = needed_width;
  return units;
}

int HorizontalPixels(const DialogBaseUnits& units, int dialog_units) {
  return static_cast<int>(std::lround(dialog_units * units.width / 4.0));
}

int VerticalPixels(const DialogBaseUnits& units, int dialog_units) {
  return MulDiv(dialog_units, units.height, 8);
}

QRect ToPixels(const DialogBaseUnits& units, int x, int y, int width, int height) {
  // Both corners are converted, so adjacent controls share their edges exactly.
  const int left = HorizontalPixels(units, x);
  const int top = VerticalPixels(units, y);
  const int right = HorizontalPixels(units, x + width);
  const int bottom = VerticalPixels(units, y + height);
  return {left, top, right - left, bottom - top};
}

QSize ToPixels(const DialogBaseUnits& units, int width, int height) {
  return {HorizontalPixels(units, width), VerticalPixels(units, height)};
}

}  // namespace qz::app
