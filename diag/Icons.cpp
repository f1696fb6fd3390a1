// Draws the message dialog's icons: antialiased shapes on a transparent 32 x 32 pixmap. The
// marks are paths, not glyphs, so they look the same whatever fonts are installed.
#include "diag/Icons.h"

#include <QPainter>
#include <QPainterPath>

namespace flintmoor {

namespace {

constexpr int kSize = 32;

void drawDisc(QPainter& p, const QColor& fill, const QColor& rim) {
  p.setPen(QPen(rim, 1.5));
  p.setBrush(fill);
  p.drawEllipse(QRectF(1.5, 1.5, kSize - 3, kSize - 3));
}

}  // namespace

QPixmap msgIcon(int index) {
  QPixmap pix(kSize, kSize);
  pix.fill(Qt::transparent);
  if (index < 0 || index > 3) return pix;

  QPainter p(&pix);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  switch (index) {
    case 0: {
      QPainterPath tri;
      tri.moveTo(16, 2);
      tri.lineTo(30.5, 29);
      tri.lineTo(1.5, 29);
      tri.closeSubpath();
      p.setPen(QPen(QColor(0x80, 0x60, 0x00), 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
      p.setBrush(QColor(0xFF, 0xD2, 0x00));
      p.drawPath(tri);
      p.setPen(Qt::NoPen);
      p.setBrush(Qt::black);
      QPainterPath bar;
      bar.moveTo(14, 10);
      bar.lineTo(18, 10);
      bar.lineTo(17, 21);
      bar.lineTo(15, 21);
      bar.closeSubpath();
      p.drawPath(bar);
      p.drawEllipse(QRectF(14.2, 22.5, 3.6, 3.6));
      break;
    }
    case 1: {
      drawDisc(p, QColor(0xD8, 0x20, 0x20), QColor(0x90, 0x10, 0x10));
      p.setPen(QPen(Qt::white, 4, Qt::SolidLine, Qt::RoundCap));
      p.drawLine(QPointF(10.5, 10.5), QPointF(21.5, 21.5));
      p.drawLine(QPointF(21.5, 10.5), QPointF(10.5, 21.5));
      break;
    }
    case 2: {
      drawDisc(p, QColor(0x20, 0x60, 0xD0), QColor(0x10, 0x38, 0x88));
      p.setPen(Qt::NoPen);
      p.setBrush(Qt::white);
      p.drawEllipse(QRectF(14, 6.5, 4, 4));
      p.drawRoundedRect(QRectF(14.2, 12.5, 3.6, 13), 1, 1);
      break;
    }
    case 3: {
      drawDisc(p, QColor(0x20, 0x60, 0xD0), QColor(0x10, 0x38, 0x88));
      QPainterPath hook;
      hook.moveTo(11.5, 11.5);
      hook.arcTo(QRectF(11.5, 7, 9, 9), 180, -270);
      hook.lineTo(16, 19.5);
      p.setPen(QPen(Qt::white, 3.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
      p.setBrush(Qt::NoBrush);
      p.drawPath(hook);
      p.setPen(Qt::NoPen);
      p.setBrush(Qt::white);
      p.drawEllipse(QRectF(14.1, 22.2, 3.8, 3.8));
      break;
    }
  }
  return pix;
}

}  // namespace flintmoor
