#include "app/desktop/on_off_switch.h"

#include <QPainter>
#include <QPainterPath>

namespace quillfern {
namespace {

const QColor OnColour(33, 150, 243);
const QColor OffColour(158, 158, 158);

}  // namespace

TOnOffSwitch::TOnOffSwitch(QWidget* parent) : QAbstractButton(parent) {
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::StrongFocus);
  QFont bold = font();
  bold.setBold(true);
  bold.setPixelSize(20);
  setFont(bold);
  setFixedSize(115, 42);
  setAccessibleName("OFF");
  connect(this, &QAbstractButton::clicked, this, [this] { RequestState(!on_); });
}

bool TOnOffSwitch::RequestState(bool on) {
  if (on == on_) return on_;
  if (OnBeforeChange && !OnBeforeChange(*this)) return on_;
  on_ = on;
  setText(on_ ? "ON" : "OFF");
  setAccessibleName(text());
  update();
  emit Changed(this);
  return on_;
}

QSize TOnOffSwitch::sizeHint() const {
  return {115, 42};
}

void TOnOffSwitch::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF track = QRectF(rect()).adjusted(1, 1, -1, -1);
  const qreal radius = track.height() / 2;
  painter.setPen(Qt::NoPen);
  painter.setBrush(isEnabled() ? (on_ ? OnColour : OffColour) : palette().color(QPalette::Mid));
  painter.drawRoundedRect(track, radius, radius);

  // The knob sits on the side of the state; the text fills the other side.
  const qreal knobSize = track.height() - 6;
  const qreal knobX = on_ ? track.right() - 3 - knobSize : track.left() + 3;
  const QRectF knob(knobX, track.top() + 3, knobSize, knobSize);
  painter.setBrush(Qt::white);
  painter.drawEllipse(knob);

  QRectF textArea = track;
  if (on_) {
    textArea.setRight(knob.left());
  } else {
    textArea.setLeft(knob.right());
  }
  painter.setPen(Qt::white);
  painter.setFont(font());
  painter.drawText(textArea, Qt::AlignCenter, on_ ? "ON" : "OFF");
  if (hasFocus()) {
    painter.setPen(QPen(palette().color(QPalette::Highlight), 1, Qt::DotLine));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(track.adjusted(-0.5, -0.5, 0.5, 0.5), radius, radius);
  }
}

}  // namespace quillfern
