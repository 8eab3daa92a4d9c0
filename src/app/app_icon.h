#pragma once

#include <QIcon>
#include <QPixmap>

namespace qz::app {

// The application's icon: a chip with an arrow writing into it, painted at `size` pixels square
// on a transparent background. packaging/qz670x-mp.svg holds the same drawing for the desktop.
[[nodiscard]] QPixmap PaintAppIcon(int size);

// The icon at the sizes title bars and task bars ask for.
[[nodiscard]] QIcon AppIcon();

}  // namespace qz::app
