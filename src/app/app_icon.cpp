#include "app/app_icon.h"

#include <QColor>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

namespace qz::app {

QPixmap PaintAppIcon(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  // drawn on a 256 x 256 grid
  painter.scale(size / 256.0, size / 256.0);

  // pins, five a side
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0xB0, 0xBE, 0xC5));
  for (int i = 0; i < 5; ++i) {
    const double y = 112 + i * 24;
    painter.drawRoundedRect(QRectF(34, y, 30, 12), 3, 3);
    painter.drawRoundedRect(QRectF(192, y, 30, 12), 3, 3);
  }

  // body and its orientation notch
  painter.setBrush(QColor(0x26, 0x32, 0x38));
  painter.drawRoundedRect(QRectF(60, 100, 136, 136), 12, 12);
  painter.setBrush(QColor(0x54, 0x6E, 0x7A));
  painter.drawEllipse(QPointF(82, 122), 8, 8);

  // the arrow writing into the chip, outlined so it stands out on the body
  QPainterPath arrow;
  arrow.moveTo(112, 12);
  arrow.lineTo(144, 12);
  arrow.lineTo(144, 92);
  arrow.lineTo(174, 92);
  arrow.lineTo(128, 156);
  arrow.lineTo(82, 92);
  arrow.lineTo(112, 92);
  arrow.closeSubpath();
  painter.setPen(QPen(Qt::white, 8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  painter.setBrush(QColor(0xF5, 0x7C, 0x00));
  painter.drawPath(arrow);

  // bits already written: two rows of cells on the body
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0x4C, 0xAF, 0x50));
  for (int row = 0; row < 2; ++row) {
    for (int column = 0; column < 4; ++column) {
      painter.drawRect(QRectF(80 + column * 26, 176 + row * 24, 18, 14));
    }
  }
  painter.end();
  return pixmap;
}

QIcon AppIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128, 256}) icon.addPixmap(PaintAppIcon(size));
  return icon;
}

}  // namespace qz::app
