#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

namespace qz::app {

// The dialog's base units in pixels: the dialog font's average character width and its line
// height. A dialog unit is a quarter of the width horizontally and an eighth of the height
// vertically, so the control table keeps its proportions at any font size.
struct DialogBaseUnits {
  double width = 0;  // pixels per four horizontal dialog units
  int height = 0;    // pixels per eight vertical dialog units
};

// Base units of `font`: the average width of the 52 ASCII letters (rounded) and the font height.
[[nodiscard]] DialogBaseUnits BaseUnitsOf(const QFont& font);

// `units` widened, if needed, so that `needed_pixels` fit in `dialog_units` horizontally. The
// table was drawn for a narrow font; a wider one keeps the table's proportions this way instead
// of cutting captions off.
[[nodiscard]] DialogBaseUnits WidenToFit(DialogBaseUnits units, int needed_pixels,
                                         int dialog_units);

// Dialog units to pixels, rounded to the nearest pixel.
[[nodiscard]] int HorizontalPixels(const DialogBaseUnits& units, int dialog_units);
[[nodiscard]] int VerticalPixels(const DialogBaseUnits& units, int dialog_units);
[[nodiscard]] QRect ToPixels(const DialogBaseUnits& units, int x, int y, int width, int height);
[[nodiscard]] QSize ToPixels(const DialogBaseUnits& units, int width, int height);

}  // namespace qz::app
