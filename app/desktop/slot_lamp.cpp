#include "app/desktop/slot_lamp.h"

#include <QPainter>
#include <QRadialGradient>
#include <QRegion>
#include <QTextDocument>
#include <QTimer>

#include "app/desktop/contrast.h"
#include "app/desktop/transfer_text.h"

namespace quillfern {
namespace {

constexpr int LampWidth = 60;
constexpr int GlyphSize = 48;
// The glyph is centred across and 6 pixels down; the button is clipped to
// the circle around it, and ends below it where the slot's number begins.
constexpr int GlyphLeft = (LampWidth - GlyphSize + 1) / 2;
constexpr int GlyphTop = 6;
constexpr int LampHeight = GlyphTop + GlyphSize + 2;
// The ring lies on the glyph's rim, inside the circle the button is clipped to.
constexpr qreal RingWidth = 5;
constexpr qreal RingInset = 1 + RingWidth / 2;
// The arc of a transfer without a total: a quarter turn, going round once a
// second and a half.
constexpr int SpinSpanDegrees = 90;
constexpr int SpinStepDegrees = 12;
constexpr int SpinIntervalMs = 50;

// A tooltip whose text the peer chose (its name, an object's name): one
// that would pass for rich text is escaped, so it shows as given.
QString PlainTip(const QString& text) {
  return Qt::mightBeRichText(text) ? Qt::convertFromPlainText(text) : text;
}

}  // namespace

TSlotLamp::TSlotLamp(int server, int slot, QWidget* parent)
    : QAbstractButton(parent), server_(server), slot_(slot) {
  setFixedSize(LampWidth, LampHeight);
  setCursor(Qt::PointingHandCursor);
  setMask(QRegion(GlyphLeft, GlyphTop, GlyphSize + 1, GlyphSize + 1, QRegion::Ellipse));
  setEnabled(false);
  setAccessibleName(QString::number(slot + 1));
  spin_ = new QTimer(this);
  spin_->setInterval(SpinIntervalMs);
  connect(spin_, &QTimer::timeout, this, [this] {
    spinAngle_ = (spinAngle_ + SpinStepDegrees) % 360;
    update();
  });
}

void TSlotLamp::Light(const QString& peer) {
  peer_ = peer;
  ++generation_;
  EndTransfer();
  setEnabled(true);
  setToolTip(PlainTip(peer));
  update();
}

void TSlotLamp::Darken() {
  peer_.clear();
  EndTransfer();
  setEnabled(false);
  setToolTip({});
  update();
}

void TSlotLamp::ShowProgress(const ServerEvent& event) {
  if (!IsLit()) return;
  if (event.finished) {
    EndTransfer();
  } else {
    // A transfer of an earlier peer of the slot, or one whose end never
    // came, gives way to the one now reported.
    if (!transfer_ || transferGeneration_ != generation_ || transferNumber_ != event.transfer ||
        transfer_->Object() != event.object || transfer_->Direction() != event.direction ||
        event.bytes < transfer_->Bytes()) {
      transfer_.emplace(event.object, event.direction, event.time);
      transferGeneration_ = generation_;
      transferNumber_ = event.transfer;
    }
    transfer_->Update(event.bytes, event.total, event.time);
    if (transfer_->Total()) {
      spin_->stop();
    } else if (!spin_->isActive()) {
      spin_->start();
    }
  }
  UpdateTip();
  update();
}

void TSlotLamp::EndTransfer() {
  transfer_.reset();
  spin_->stop();
  spinAngle_ = 0;
  UpdateTip();
  update();
}

void TSlotLamp::UpdateTip() {
  if (!IsLit()) return;
  setToolTip(PlainTip(
      transfer_ ? QString::fromStdString(TransferTip(peer_.toStdString(), *transfer_)) : peer_));
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
  painter.setPen(QPen(RimColour(), 2));
  painter.setBrush(light);
  painter.drawEllipse(glyph.adjusted(1, 1, -1, -1));
  if (transfer_) PaintRing(painter, glyph);
  if (hasFocus()) {
    painter.setPen(QPen(palette().color(QPalette::Highlight), 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(glyph.adjusted(1, 1, -1, -1));
  }
}

QColor TSlotLamp::RimColour() const {
  // Dark green by day; on a dark window a lighter green, so a dark lamp does not vanish.
  return WithContrast(QColor(20, 50, 20), palette().color(QPalette::Window), ShapeContrast);
}

void TSlotLamp::PaintRing(QPainter& painter, const QRectF& glyph) const {
  const QRectF ring = glyph.adjusted(RingInset, RingInset, -RingInset, -RingInset);
  painter.setBrush(Qt::NoBrush);
  painter.setPen(QPen(QColor(0, 0, 0, 110), RingWidth));
  painter.drawEllipse(ring);
  // Amber for what comes in, light blue for what goes out.
  const QColor arc = transfer_->Direction() == TransferDirection::Receiving ? QColor(255, 196, 40)
                                                                            : QColor(110, 200, 255);
  painter.setPen(QPen(arc, RingWidth, Qt::SolidLine, Qt::FlatCap));
  // Qt's angles are sixteenths of a degree, counter-clockwise from three
  // o'clock; the ring fills clockwise from twelve.
  if (const std::optional<double> fraction = transfer_->Fraction()) {
    const int span = static_cast<int>(*fraction * 360 * 16);
    if (span >= 360 * 16) {
      painter.drawEllipse(ring);
    } else if (span > 0) {
      painter.drawArc(ring, 90 * 16, -span);
    }
  } else {
    painter.drawArc(ring, (90 - spinAngle_) * 16, -SpinSpanDegrees * 16);
  }
}

}  // namespace quillfern
