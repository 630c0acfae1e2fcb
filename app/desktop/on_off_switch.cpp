#include "app/desktop/on_off_switch.h"

#include <QPainter>
#include <QPainterPath>

#include "app/desktop/contrast.h"

namespace quillfern {
namespace {

// White text reads on both at better than 4.5:1.
const QColor OnColour(21, 101, 192);
const QColor OffColour(97, 97, 97);

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

TOnOffSwitch::Colours TOnOffSwitch::PaintColours() const {
  Colours colours;
  colours.track = isEnabled() ? (on_ ? OnColour : OffColour) : palette().color(QPalette::Mid);
  colours.text = WithContrast(Qt::white, colours.track, TextContrast);
  // On a dark window the track alone would hardly stand out: its outline does.
  colours.outline = WithContrast(colours.track, palette().color(QPalette::Window), ShapeContrast);
  return colours;
}

void TOnOffSwitch::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const Colours colours = PaintColours();
  const QRectF track = QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5);
  const qreal radius = track.height() / 2;
  painter.setPen(QPen(colours.outline, 1.5));
  painter.setBrush(colours.track);
  painter.drawRoundedRect(track, radius, radius);
  painter.setPen(Qt::NoPen);

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
  painter.setPen(colours.text);
  painter.setFont(font());
  painter.drawText(textArea, Qt::AlignCenter, on_ ? "ON" : "OFF");
  if (hasFocus()) {
    painter.setPen(QPen(palette().color(QPalette::Highlight), 1, Qt::DotLine));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(track.adjusted(-0.5, -0.5, 0.5, 0.5), radius, radius);
  }
}

}  // namespace quillfern
