#include "app/desktop/program_icon.h"

#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <cmath>

namespace quillfern {
namespace {

const QColor TitleBlue(33, 150, 243);

}  // namespace

QPixmap ProgramPixmap(int size, qreal devicePixelRatio) {
  // Drawn at the screen's own pixels: sharp at any scale.
  const int pixels = static_cast<int>(std::lround(size * devicePixelRatio));
  QPixmap pixmap(pixels, pixels);
  pixmap.setDevicePixelRatio(devicePixelRatio);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.scale(size / 64.0, size / 64.0);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(21, 101, 192));
  painter.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);
  painter.setBrush(TitleBlue);
  painter.drawRoundedRect(QRectF(4, 4, 56, 56), 10, 10);

  // The quill: a feather from the upper right down to its nib.
  QPainterPath feather;
  feather.moveTo(50, 10);
  feather.cubicTo(30, 14, 20, 30, 18, 46);
  feather.cubicTo(28, 40, 44, 30, 50, 10);
  painter.setBrush(Qt::white);
  painter.drawPath(feather);
  painter.setPen(QPen(TitleBlue, 2, Qt::SolidLine, Qt::RoundCap));
  painter.drawLine(QPointF(46, 16), QPointF(22, 42));
  painter.setPen(QPen(Qt::white, 3, Qt::SolidLine, Qt::RoundCap));
  painter.drawLine(QPointF(18, 46), QPointF(14, 52));

  // The exchange: two arrows at the foot.
  painter.setPen(QPen(Qt::white, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  painter.drawLine(QPointF(30, 50), QPointF(52, 50));
  painter.drawPolyline(QPolygonF({QPointF(47, 45), QPointF(52, 50), QPointF(47, 55)}));
  return pixmap;
}

QIcon ProgramIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 96, 128}) icon.addPixmap(ProgramPixmap(size));
  return icon;
}

namespace {

void DrawToolbarImage(QPainter& painter, ToolbarImage image) {
  painter.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  painter.setBrush(Qt::NoBrush);
  switch (image) {
    case ToolbarImage::Folder: {
      QPainterPath folder;
      folder.moveTo(3, 7);
      folder.lineTo(9, 7);
      folder.lineTo(11, 9);
      folder.lineTo(21, 9);
      folder.lineTo(21, 19);
      folder.lineTo(3, 19);
      folder.closeSubpath();
      painter.drawPath(folder);
      break;
    }
    case ToolbarImage::Log:
      painter.drawRect(QRectF(5, 3, 14, 18));
      for (int y : {8, 12, 16}) painter.drawLine(QPointF(8, y), QPointF(16, y));
      break;
    case ToolbarImage::Settings: {
      const QPointF centre(12, 12);
      for (int i = 0; i < 8; ++i) {
        const double angle = i * M_PI / 4;
        painter.drawLine(centre + QPointF(6 * std::cos(angle), 6 * std::sin(angle)),
                         centre + QPointF(9 * std::cos(angle), 9 * std::sin(angle)));
      }
      painter.drawEllipse(centre, 6, 6);
      painter.drawEllipse(centre, 2.5, 2.5);
      break;
    }
    case ToolbarImage::About:
      painter.drawEllipse(QPointF(12, 12), 9, 9);
      painter.drawLine(QPointF(12, 11), QPointF(12, 17));
      painter.drawPoint(QPointF(12, 7.5));
      break;
    case ToolbarImage::Minimize:
      painter.drawLine(QPointF(6, 17), QPointF(18, 17));
      break;
    case ToolbarImage::Close:
      painter.drawLine(QPointF(6, 6), QPointF(18, 18));
      painter.drawLine(QPointF(18, 6), QPointF(6, 18));
      break;
  }
}

// Draws the picture afresh for every size asked, in the screen's own pixels, so it is
// sharp at any scale (1.35 as well as 2).
class ToolbarIconEngine : public QIconEngine {
 public:
  explicit ToolbarIconEngine(ToolbarImage image) : image_(image) {}

  void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override {
    constexpr qreal Units = 24;  // the drawing's own square
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->translate(rect.topLeft());
    painter->scale(rect.width() / Units, rect.height() / Units);
    DrawToolbarImage(*painter, image_);
    painter->restore();
  }
  QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    paint(&painter, QRect(QPoint(0, 0), size), mode, state);
    return pixmap;
  }
  QIconEngine* clone() const override { return new ToolbarIconEngine(image_); }

 private:
  const ToolbarImage image_;
};

}  // namespace

QIcon ToolbarIcon(ToolbarImage image) {
  return QIcon(new ToolbarIconEngine(image));
}

}  // namespace quillfern
