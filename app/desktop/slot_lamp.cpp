#include "app/desktop/slot_lamp.h"

#include <QPainter>
#include <QRadialGradient>
#include <QRegion>

namespace quillfern {
namespace {

constexpr int LampWidth = 60;
constexpr int GlyphSize = 48;
// The glyph is centred across and 6 pixels down; the button is clipped to
// the circle around it, and ends below it where the slot's number begins.
constexpr int GlyphLeft = (LampWidth - GlyphSize + 1) / 2;
constexpr int GlyphTop = 6;
constexpr int LampHeight = GlyphTop + GlyphSize + 2;

}  // namespace

TSlotLamp::TSlotLamp(int server, int slot, QWidget* parent)
    : QAbstractButton(parent), server_(server), slot_(slot) {
  setFixedSize(LampWidth, LampHeight);
  setCursor(Qt::PointingHandCursor);
  setMask(QRegion(GlyphLeft, GlyphTop, GlyphSize + 1, GlyphSize + 1, QRegion::Ellipse));
  setEnabled(false);
  setAccessibleName(QString::number(slot + 1));
}

void TSlotLamp::Light(const QString& peer) {
  peer_ = peer;
  ++generation_;
  setEnabled(true);
  setToolTip(peer);
  update();
}

void TSlotLamp::Darken() {
  peer_.clear();
  setEnabled(false);
  setToolTip({});
  update();
}

void TSlotLamp::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF glyph(GlyphLeft, GlyphTop, GlyphSize, GlyphSize);
  const bool lit = isEnabled();
  QRadialGradient light(glyph.center() - QPointF(8, 8), GlyphSize * 0.6);
  if (lit) {
    light.setColorAt(0, QColor(200, 255, 200));
    light.setColorAt(0.45, QColor(40, 220, 60));
    light.setColorAt(1, QColor(10, 130, 30));
  } else {
    light.setColorAt(0, QColor(70, 110, 70));
    light.setColorAt(0.5, QColor(25, 70, 30));
    light.setColorAt(1, QColor(10, 40, 15));
  }
  painter.setPen(QPen(QColor(20, 50, 20), 1.5));
  painter.setBrush(light);
  painter.drawEllipse(glyph.adjusted(1, 1, -1, -1));
  if (hasFocus()) {
    painter.setPen(QPen(palette().color(QPalette::Highlight), 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(glyph.adjusted(1, 1, -1, -1));
  }
}

}  // namespace quillfern
