#include "UIcons.h"

#include <QPainter>
#include <QPainterPath>

namespace quibo {
namespace {

// A rounded square with a "Q": the program's mark.
QPixmap Mark(int size) {
  QPixmap picture(size, size);
  picture.fill(Qt::transparent);
  QPainter painter(&picture);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setBrush(QColor(0x2e, 0x6d, 0xb4));
  painter.setPen(Qt::NoPen);
  painter.drawRoundedRect(QRectF(0, 0, size, size), size * 0.2, size * 0.2);
  QFont font = painter.font();
  font.setBold(true);
  font.setPixelSize(size * 3 / 4);
  painter.setFont(font);
  painter.setPen(Qt::white);
  painter.drawText(QRect(0, 0, size, size), Qt::AlignCenter, "Q");
  return picture;
}

} // namespace

QIcon QuiboIcon() {
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64})
    icon.addPixmap(Mark(size));
  return icon;
}

QPixmap UpdatePicture(int size) {
  QPixmap picture(size, size);
  picture.fill(Qt::transparent);
  QPainter painter(&picture);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setBrush(QColor(0x2f, 0x9e, 0x44));
  painter.setPen(Qt::NoPen);
  painter.drawEllipse(QRectF(0, 0, size, size));
  QPainterPath arrow; // pointing down: something to fetch
  arrow.moveTo(size * 0.5, size * 0.8);
  arrow.lineTo(size * 0.22, size * 0.48);
  arrow.lineTo(size * 0.4, size * 0.48);
  arrow.lineTo(size * 0.4, size * 0.2);
  arrow.lineTo(size * 0.6, size * 0.2);
  arrow.lineTo(size * 0.6, size * 0.48);
  arrow.lineTo(size * 0.78, size * 0.48);
  arrow.closeSubpath();
  painter.setBrush(Qt::white);
  painter.drawPath(arrow);
  return picture;
}

} // namespace quibo
