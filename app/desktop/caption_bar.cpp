#include "app/desktop/caption_bar.h"

#include <QMouseEvent>
#include <QPainter>
#include <QStyleOption>
#include <QWindow>

namespace quillfern {

TCaptionBar::TCaptionBar(QWidget* parent) : QWidget(parent) {}

bool TCaptionBar::StartMove(QWidget* window, QMouseEvent* event, QPoint& dragOffset) {
  if (event->button() != Qt::LeftButton) return false;
  dragOffset = {};
  QWindow* handle = window->windowHandle();
  if (handle && handle->startSystemMove()) return true;
  // No window manager that moves windows for us (a bare X server): follow the mouse.
  dragOffset = event->globalPosition().toPoint() - window->frameGeometry().topLeft();
  return true;
}

void TCaptionBar::FollowMove(QWidget* window, QMouseEvent* event, const QPoint& dragOffset) {
  if (dragOffset.isNull() || !(event->buttons() & Qt::LeftButton)) return;
  window->move(event->globalPosition().toPoint() - dragOffset);
}

void TCaptionBar::mousePressEvent(QMouseEvent* event) {
  if (!StartMove(window(), event, dragOffset_)) QWidget::mousePressEvent(event);
}

void TCaptionBar::mouseMoveEvent(QMouseEvent* event) {
  FollowMove(window(), event, dragOffset_);
}

void TCaptionBar::paintEvent(QPaintEvent*) {
  // A plain QWidget subclass paints its style sheet's background only when asked to.
  QStyleOption option;
  option.initFrom(this);
  QPainter painter(this);
  style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);
}

}  // namespace quillfern
